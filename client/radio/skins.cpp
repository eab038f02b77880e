#include "radio/skin.h"

// Provisional placements until the panel artwork lands.

const Skin &goldSkin() {
    static const Skin skin{QStringLiteral("gold"),
                           QStringLiteral("&H80C0FF"),
                           QStringLiteral(":/panel/gold/"),
                           8724,
                           3000,
                           {},
                           {}};
    return skin;
}

const Skin &greySkin() {
    static const Skin skin{QStringLiteral("grey"),
                           QStringLiteral("8454016"),
                           QStringLiteral(":/panel/grey/"),
                           8724,
                           3000,
                           {},
                           {}};
    return skin;
}
