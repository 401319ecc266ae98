// Windows source of interfaces and routes: the network cards that the registry configures, and
// the IP Helper address, interface and forward tables, with iphlpapi.dll loaded at run time.

// winsock2.h comes first: windows.h would otherwise bring in the old winsock.h.
#include <winsock2.h>

#include <windows.h>

#include <iphlpapi.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "net/net_platform.h"
#include "net/network_info.h"
#include "net/socket_state.h"

namespace voxtrel {

namespace {

constexpr DWORD kRegistryRoom = 1024;
constexpr const char* kCardsKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";
constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services\\";
constexpr const char* kNetworkKey = "SYSTEM\\CurrentControlSet\\Control\\Network\\";
constexpr const char* kLibraryReport = "Cannot load library \"iphlpapi.dll\"";

using GetIpAddrTableFn = DWORD(WINAPI*)(PMIB_IPADDRTABLE, PULONG, BOOL);
using GetIfTableFn = DWORD(WINAPI*)(PMIB_IFTABLE, PULONG, BOOL);
using GetIpForwardTableFn = DWORD(WINAPI*)(PMIB_IPFORWARDTABLE, PULONG, BOOL);

class RegistryKey {
  public:
    RegistryKey(HKEY parent, const std::string& path) {
        if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, &key_) != ERROR_SUCCESS)
            key_ = nullptr;
    }
    ~RegistryKey() {
        if (key_ != nullptr)
            RegCloseKey(key_);
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    bool IsOpen() const { return key_ != nullptr; }
    HKEY Get() const { return key_; }

    bool SubkeyName(DWORD index, std::string& name) const {
        char text[kRegistryRoom];
        DWORD length = kRegistryRoom;
        if (RegEnumKeyExA(key_, index, text, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            return false;
        name.assign(text, length);
        return true;
    }

    // The texts of a value: one for a plain text, each entry for a list.
    std::vector<std::string> Texts(const char* value) const {
        std::vector<std::string> texts;
        char data[kRegistryRoom + 2] = {};
        DWORD type = 0;
        DWORD length = kRegistryRoom;
        if (RegQueryValueExA(key_, value, nullptr, &type, reinterpret_cast<BYTE*>(data), &length) !=
            ERROR_SUCCESS)
            return texts;
        if (type != REG_SZ && type != REG_MULTI_SZ && type != REG_EXPAND_SZ)
            return texts;
        const char* end = data + std::min<DWORD>(length, kRegistryRoom);
        for (const char* text = data; text < end && *text != 0; text += std::strlen(text) + 1) {
            texts.emplace_back(text);
            if (type != REG_MULTI_SZ)
                break;
        }
        return texts;
    }

    bool Text(const char* value, std::string& text) const {
        std::vector<std::string> texts = Texts(value);
        if (texts.empty())
            return false;
        text = std::move(texts.front());
        return true;
    }

  private:
    HKEY key_ = nullptr;
};

class Library {
  public:
    Library() : module_(LoadLibraryExA("iphlpapi.dll", nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)) {}
    ~Library() {
        if (module_ != nullptr)
            FreeLibrary(module_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    bool IsLoaded() const { return module_ != nullptr; }

    template <typename Function>
    Function Find(const char* name) const {
        // Through the generic function pointer type, which converts to any other.
        return reinterpret_cast<Function>(
            reinterpret_cast<void (*)()>(GetProcAddress(module_, name)));
    }

  private:
    HMODULE module_;
};

// An IP Helper table: a first call without buffer asks for the size, a second one fills it.
template <typename Table, typename Function>
std::unique_ptr<unsigned char[]> FetchTable(Function fetch, BOOL sorted) {
    ULONG size = 0;
    if (fetch(nullptr, &size, sorted) != ERROR_INSUFFICIENT_BUFFER)
        return nullptr;
    auto buffer = std::make_unique<unsigned char[]>(size);
    if (fetch(reinterpret_cast<Table*>(buffer.get()), &size, sorted) != NO_ERROR)
        return nullptr;
    return buffer;
}

template <typename Table>
const Table* As(const std::unique_ptr<unsigned char[]>& buffer) {
    return reinterpret_cast<const Table*>(buffer.get());
}

// False when the version cannot be read; nt4 tells Windows NT 4 (and older NT) apart.
bool QueryVersion(bool& nt4) {
    OSVERSIONINFOEXA extended = {};
    extended.dwOSVersionInfoSize = sizeof extended;
    DWORD platformId = 0, major = 0;
    if (GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&extended))) {
        platformId = extended.dwPlatformId;
        major = extended.dwMajorVersion;
    } else {
        OSVERSIONINFOA basic = {};
        basic.dwOSVersionInfoSize = sizeof basic;
        if (!GetVersionExA(&basic))
            return false;
        platformId = basic.dwPlatformId;
        major = basic.dwMajorVersion;
    }
    nt4 = platformId == VER_PLATFORM_WIN32_NT && major < 5;
    return true;
}

// The connection name of a card: the first class key under the network key that has the
// service's "Connection" subkey with a "Name".
bool ConnectionName(const std::string& service, std::string& name) {
    RegistryKey network(HKEY_LOCAL_MACHINE, kNetworkKey);
    if (!network.IsOpen())
        return false;
    std::string classKey;
    for (DWORD index = 0; network.SubkeyName(index, classKey); ++index) {
        RegistryKey connection(network.Get(), classKey + "\\" + service + "\\Connection");
        if (connection.IsOpen() && connection.Text("Name", name))
            return true;
    }
    return false;
}

bool ReadCards(bool nt4, std::vector<NetworkCard>& cards) {
    RegistryKey list(HKEY_LOCAL_MACHINE, kCardsKey);
    if (!list.IsOpen())
        return false;
    // A card whose connection name is not found keeps the one found for the card before it.
    std::string connectionName;
    std::string cardKey;
    for (DWORD index = 0; list.SubkeyName(index, cardKey); ++index) {
        RegistryKey card(list.Get(), cardKey);
        if (!card.IsOpen())
            continue;
        NetworkCard entry;
        std::string service;
        card.Text("ServiceName", service);
        RegistryKey tcpip(HKEY_LOCAL_MACHINE,
                          std::string(kServicesKey) + service + "\\Parameters\\Tcpip");
        if (tcpip.IsOpen()) {
            tcpip.Text("DefaultGateway", entry.gateway);
            entry.addresses = tcpip.Texts("IpAddress");
            entry.masks = tcpip.Texts("SubnetMask");
        }
        if (nt4)
            connectionName = service;
        else
            ConnectionName(service, connectionName);
        entry.name = connectionName;
        cards.push_back(std::move(entry));
    }
    return true;
}

std::string Description(const MIB_IFROW& row) {
    DWORD length = std::min<DWORD>(row.dwDescrLen, MAXLEN_IFDESCR);
    std::string text(reinterpret_cast<const char*>(row.bDescr), length);
    size_t end = text.find_last_not_of(std::string(" \t\r\n\v\f\0", 7));
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

bool CardLists(const NetworkCard& card, DWORD address) {
    return std::any_of(card.addresses.begin(), card.addresses.end(), [&](const std::string& text) {
        return platform::ParseAddress(text.c_str()) == address;
    });
}

class WindowsNetworkSource : public NetworkInfoSource {
  public:
    bool LocalInterfaces(std::vector<InterfaceRecord>& records) override {
        bool nt4 = false;
        std::vector<NetworkCard> cards;
        if (!QueryVersion(nt4) || !ReadCards(nt4, cards))
            return false;
        Library library;
        if (!library.IsLoaded()) {
            ReportSocketError(kLibraryReport, true);
            return false;
        }
        auto getAddresses = library.Find<GetIpAddrTableFn>("GetIpAddrTable");
        auto getInterfaces = library.Find<GetIfTableFn>("GetIfTable");
        auto getForward = library.Find<GetIpForwardTableFn>("GetIpForwardTable");
        if (getAddresses == nullptr || getInterfaces == nullptr || getForward == nullptr) {
            ReportSocketError(kLibraryReport, true);
            return false;
        }
        // A table that cannot be fetched only drops what it would have added.
        std::unique_ptr<unsigned char[]> addressTable, interfaceTable, forwardTable;
        addressTable = FetchTable<MIB_IPADDRTABLE>(getAddresses, FALSE);
        if (addressTable)
            interfaceTable = FetchTable<MIB_IFTABLE>(getInterfaces, FALSE);
        if (interfaceTable)
            forwardTable = FetchTable<MIB_IPFORWARDTABLE>(getForward, TRUE);

        std::vector<std::pair<uint32_t, std::string>> hardware;
        if (addressTable && interfaceTable) {
            const auto* addresses = As<MIB_IPADDRTABLE>(addressTable);
            const auto* interfaces = As<MIB_IFTABLE>(interfaceTable);
            const auto* forward = forwardTable ? As<MIB_IPFORWARDTABLE>(forwardTable) : nullptr;
            for (DWORD i = 0; i < addresses->dwNumEntries; ++i) {
                const MIB_IPADDRROW& address = addresses->table[i];
                const MIB_IFROW* row = nullptr;
                for (DWORD j = 0; j < interfaces->dwNumEntries && row == nullptr; ++j) {
                    if (interfaces->table[j].dwIndex == address.dwIndex)
                        row = &interfaces->table[j];
                }
                if (row == nullptr)
                    continue;
                std::string physical = FormatHardwareAddress(
                    row->bPhysAddr, std::min<DWORD>(row->dwPhysAddrLen, MAXLEN_PHYSADDR));
                hardware.emplace_back(address.dwAddr, physical);
                bool enabled = row->dwAdminStatus != 0;
                bool connected = enabled && row->dwOperStatus == MIB_IF_OPER_STATUS_OPERATIONAL;
                auto card = std::find_if(cards.begin(), cards.end(), [&](const NetworkCard& c) {
                    return CardLists(c, address.dwAddr);
                });
                if (card != cards.end()) {
                    card->enabled = enabled;
                    card->connected = connected;
                    continue;
                }
                InterfaceRecord record;
                record.address.SetAddress(address.dwAddr);
                record.mask = address.dwMask;
                record.name = Description(*row);
                record.hardwareAddress = std::move(physical);
                record.enabled = enabled;
                record.connected = connected;
                for (DWORD k = 0; forward != nullptr && k < forward->dwNumEntries; ++k) {
                    if (forward->table[k].dwForwardIfIndex == address.dwIndex) {
                        record.gateway = forward->table[k].dwForwardNextHop;
                        break;
                    }
                }
                records.push_back(std::move(record));
            }
        }
        for (const NetworkCard& card : cards)
            AddCardRecords(records, card, hardware);
        return true;
    }

    bool RoutingRows(std::vector<ForwardRow>& forward,
                     std::vector<AddressRow>& addresses) override {
        Library library;
        auto getAddresses =
            library.IsLoaded() ? library.Find<GetIpAddrTableFn>("GetIpAddrTable") : nullptr;
        auto getForward =
            library.IsLoaded() ? library.Find<GetIpForwardTableFn>("GetIpForwardTable") : nullptr;
        if (getAddresses == nullptr || getForward == nullptr) {
            ReportSocketError(kLibraryReport, true);
            return false;
        }
        auto forwardTable = FetchTable<MIB_IPFORWARDTABLE>(getForward, TRUE);
        if (!forwardTable)
            return false;
        auto addressTable = FetchTable<MIB_IPADDRTABLE>(getAddresses, FALSE);
        if (!addressTable)
            return false;
        const auto* routes = As<MIB_IPFORWARDTABLE>(forwardTable);
        for (DWORD i = 0; i < routes->dwNumEntries; ++i) {
            const MIB_IPFORWARDROW& row = routes->table[i];
            forward.push_back({row.dwForwardDest, row.dwForwardMask, row.dwForwardNextHop,
                               row.dwForwardIfIndex, row.dwForwardType, row.dwForwardMetric1});
        }
        const auto* rows = As<MIB_IPADDRTABLE>(addressTable);
        for (DWORD i = 0; i < rows->dwNumEntries; ++i)
            addresses.push_back(
                {rows->table[i].dwAddr, rows->table[i].dwMask, rows->table[i].dwIndex});
        return true;
    }
};

}  // namespace

std::unique_ptr<NetworkInfoSource> MakeNetworkInfoSource() {
    return std::make_unique<WindowsNetworkSource>();
}

}  // namespace voxtrel
