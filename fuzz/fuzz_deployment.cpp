// marlox.ini through the deployment reader: any bytes give usable servers,
// ports in range and a valid station identity.

#include "deployment.h"

#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The generated identity is kept in the user's settings: not the real ones.
    static QTemporaryDir settings;
    qputenv("XDG_CONFIG_HOME", settings.path().toUtf8());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray content(reinterpret_cast<const char *>(data), qsizetype(size));
    const Deployment deployment = deploymentFromIni(content);
    if (deployment.first.isEmpty() || deployment.second.isEmpty() || deployment.chat.isEmpty() ||
        !isValidPortOffset(deployment.portOffset) || !isValidIdentity(deployment.identity))
        std::abort();
    return 0;
}
