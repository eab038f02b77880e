#include "stationlimits.h"

#include "eventlog.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

AddressKey addressKey(const QHostAddress &address) {
    AddressKey key{};
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    if (isIpv4) {
        key[10] = key[11] = 0xff;
        key[12] = std::uint8_t(ipv4 >> 24);
        key[13] = std::uint8_t(ipv4 >> 16);
        key[14] = std::uint8_t(ipv4 >> 8);
        key[15] = std::uint8_t(ipv4);
        return key;
    }
    const Q_IPV6ADDR ipv6 = address.toIPv6Address();
    std::memcpy(key.data(), ipv6.c, key.size());
    return key;
}

AddressKey addressKey(const sockaddr *address) {
    AddressKey key{};
    if (address->sa_family == AF_INET) {
        const auto *ipv4 = reinterpret_cast<const sockaddr_in *>(address);
        key[10] = key[11] = 0xff;
        std::memcpy(key.data() + 12, &ipv4->sin_addr, 4);
    } else if (address->sa_family == AF_INET6) {
        const auto *ipv6 = reinterpret_cast<const sockaddr_in6 *>(address);
        std::memcpy(key.data(), &ipv6->sin6_addr, key.size());
    }
    return key;
}

QHostAddress plainAddress(const QHostAddress &address) {
    bool mapped = false;
    const quint32 ipv4 = address.toIPv4Address(&mapped);
    if (mapped)
        return QHostAddress(ipv4);
    QHostAddress plain(address);
    plain.setScopeId(QString());
    return plain;
}

size_t AddressLimits::Hash::operator()(const AddressKey &key) const {
    // FNV-1a: addresses are not chosen by us, but a station cannot pick many of them.
    size_t hash = 1469598103934665603ull;
    for (const std::uint8_t byte : key)
        hash = (hash ^ byte) * 1099511628211ull;
    return hash;
}

bool AddressLimits::acquire(const AddressKey &address, quint16 port) {
    const std::lock_guard lock(m_mutex);
    Held &held = m_held[address];
    auto onPort = std::find_if(held.perPort.begin(), held.perPort.end(),
                               [port](const auto &entry) { return entry.first == port; });
    const int countOnPort = onPort == held.perPort.end() ? 0 : onPort->second;
    if ((m_total > 0 && held.total >= m_total) || (m_perPort > 0 && countOnPort >= m_perPort)) {
        if (held.total == 0)
            m_held.erase(address);
        return false;
    }
    ++held.total;
    if (onPort == held.perPort.end())
        held.perPort.emplace_back(port, 1);
    else
        ++onPort->second;
    return true;
}

void AddressLimits::release(const AddressKey &address, quint16 port) {
    const std::lock_guard lock(m_mutex);
    const auto found = m_held.find(address);
    if (found == m_held.end())
        return;
    Held &held = found->second;
    auto onPort = std::find_if(held.perPort.begin(), held.perPort.end(),
                               [port](const auto &entry) { return entry.first == port; });
    if (onPort == held.perPort.end())
        return;
    if (--onPort->second == 0)
        held.perPort.erase(onPort);
    if (--held.total == 0)
        m_held.erase(found);
}

bool RateAllowance::take(qint64 nowMs, double cost) {
    if (m_lastMs >= 0 && nowMs > m_lastMs)
        m_left = std::min(m_burst, m_left + double(nowMs - m_lastMs) * m_perSecond / 1000.0);
    if (m_lastMs < 0 || nowMs > m_lastMs)
        m_lastMs = nowMs;
    if (m_left < cost)
        return false;
    m_left -= cost;
    return true;
}

namespace {

// Bounds that keep the counts far from overflow whatever the limit.
constexpr long unlimitedConnections = INT_MAX / 2;

int capacityFor(long descriptorLimit, long ownDescriptors) {
    if (descriptorLimit < 0 || descriptorLimit > unlimitedConnections)
        return int(unlimitedConnections);
    return int(std::max(0L, descriptorLimit - ConnectionBudget::reserve - ownDescriptors));
}

// Descriptors open in this process now, or -1 when the system does not say.
long openDescriptors() {
    DIR *folder = ::opendir("/proc/self/fd");
    if (!folder)
        return -1;
    long count = 0;
    while (const dirent *entry = ::readdir(folder))
        if (entry->d_name[0] != '.')
            ++count;
    ::closedir(folder);
    // The folder's own descriptor was among them.
    return count - 1;
}

} // namespace

ConnectionBudget::ConnectionBudget(long descriptorLimit, EventLog *log)
    : m_descriptorLimit(descriptorLimit), m_log(log), m_capacity(capacityFor(descriptorLimit, 0)) {}

void ConnectionBudget::countOwnDescriptors() {
    const long open = openDescriptors();
    if (open < 0)
        return;
    // Stations may already be coming in; theirs are not the relay's own.
    const long own = std::max(0L, open - m_held.load());
    m_capacity = capacityFor(m_descriptorLimit, own);
}

bool ConnectionBudget::take() {
    const int capacity = m_capacity.load(std::memory_order_relaxed);
    const int held = m_held.fetch_add(1, std::memory_order_relaxed);
    if (held < capacity)
        return true;
    m_held.fetch_sub(1, std::memory_order_relaxed);
    if (!m_paused.load(std::memory_order_relaxed) && !m_paused.exchange(true))
        log(QStringLiteral("accepting paused on every port: %1 connections held, the last %2 "
                           "descriptors kept in reserve")
                .arg(held)
                .arg(reserve));
    return false;
}

void ConnectionBudget::give() {
    const int held = m_held.fetch_sub(1, std::memory_order_relaxed) - 1;
    // A tenth free again before the ports are said to accept again, so that an
    // attacker who keeps them full and trades one connection for another does
    // not fill the log.
    if (m_paused.load(std::memory_order_relaxed)) {
        const int capacity = m_capacity.load(std::memory_order_relaxed);
        if (held <= capacity - std::max(1, capacity / 10) && m_paused.exchange(false))
            log(QStringLiteral("accepting again on every port: %1 connections held").arg(held));
    }
}

void ConnectionBudget::log(const QString &line) const {
    if (m_log)
        m_log->write(line);
}
