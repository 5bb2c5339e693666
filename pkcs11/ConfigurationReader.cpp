// Reading vexaconfig.json: the values it sets, and a diagnostic for every key
// that is ignored or that changes what the library does in a way the file
// does not show.
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <nlohmann/json.hpp>

#include "CLogTarget.h"
#include "Configuration.h"
#include "PeerCredentials.h"

namespace vexa::pkcs11 {
namespace {

using nlohmann::json;

constexpr const char* kWholeFileIgnored =
    "the whole file is ignored: tokens over USB HID, no logging, default time-outs";

const std::initializer_list<const char*> kTopKeys = {"logging", "transport", "timeout", "keytimeout", "lockfile"};
const std::initializer_list<const char*> kLoggingKeys = {"enabled", "loglevel", "logfile", "logconsole"};
const std::initializer_list<const char*> kTransportKeys = {"vid",        "pid",          "usagePage", "unix",
                                                           "sockdir",    "trustedusers", "address",   "cacertbundle",
                                                           "clientcert", "clientkey",    "port"};

std::string typeWithArticle(const json& value)
{
    switch (value.type()) {
    case json::value_t::null:
        return "null";
    case json::value_t::object:
        return "an object";
    case json::value_t::array:
        return "an array";
    case json::value_t::string:
        return "a string";
    case json::value_t::boolean:
        return "a boolean";
    default:
        return "a number";
    }
}

std::string transportName(TransportChoice choice)
{
    switch (choice) {
    case TransportChoice::Unix:
        return "the daemon's Unix sockets";
    case TransportChoice::Tls:
        return "TLS";
    case TransportChoice::Hid:
        break;
    }
    return "USB HID";
}

const json* member(const json& object, const char* key)
{
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

// Why a file cannot be opened with `mode` (R_OK, W_OK) or, when it does not
// exist, cannot be created; nothing when it can.
std::optional<std::string> pathProblem(const std::string& path, int mode)
{
    if (path.empty()) {
        return std::string("is empty");
    }
    if (::access(path.c_str(), F_OK) == 0) {
        if (::access(path.c_str(), mode) == 0) {
            return std::nullopt;
        }
        return path + " cannot be opened: " + std::strerror(errno);
    }
    std::string copy = path;
    const std::string folder = ::dirname(copy.data());
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return "the folder " + folder + " does not exist";
    }
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        return path + " cannot be created: " + std::strerror(errno);
    }
    return std::nullopt;
}

// Collects the values and the diagnostics of one reading.
class CReader {
public:
    explicit CReader(ConfigReading& reading) : m_reading(reading) {}

    LibraryConfiguration& configuration() { return m_reading.configuration; }

    void note(std::string key, std::string problem, std::string effect)
    {
        m_reading.diagnostics.push_back({std::move(key), std::move(problem), std::move(effect)});
    }
    void stop(std::string error) { m_reading.error = std::move(error); }

    void unknownKeys(const json& object, const std::string& prefix, std::initializer_list<const char*> known)
    {
        for (auto item = object.begin(); item != object.end(); ++item) {
            bool isKnown = false;
            for (const char* key : known) {
                isKnown = isKnown || item.key() == key;
            }
            if (!isKnown) {
                note(prefix + item.key(), "is not a key the library knows", "ignored");
            }
        }
    }

    // The keys of `keys` that object holds, each noted as ignored for `why`.
    void ignored(const json& object, const std::string& prefix, std::initializer_list<const char*> keys,
                 const std::string& why)
    {
        for (const char* key : keys) {
            if (member(object, key) != nullptr) {
                note(prefix + key, why, "ignored");
            }
        }
    }

    // Numbers may carry a fraction, which is dropped. A value outside the
    // range of T is ignored like a value of the wrong type.
    template <typename T>
    bool integer(const json& object, const std::string& prefix, const char* key, T& out)
    {
        const json* value = member(object, key);
        if (value == nullptr) {
            return false;
        }
        const std::string keep = "ignored, " + std::to_string(out) + " applies";
        if (!value->is_number()) {
            note(prefix + key, "is " + typeWithArticle(*value) + ", not a number", keep);
            return false;
        }
        long double number;
        if (value->is_number_unsigned()) {
            number = static_cast<long double>(value->get<uint64_t>());
        } else if (value->is_number_integer()) {
            number = static_cast<long double>(value->get<int64_t>());
        } else {
            number = std::trunc(static_cast<long double>(value->get<double>()));
        }
        constexpr auto low = std::numeric_limits<T>::min();
        constexpr auto high = std::numeric_limits<T>::max();
        if (!std::isfinite(number) || number < static_cast<long double>(low) ||
            number > static_cast<long double>(high)) {
            note(prefix + key,
                 value->dump() + " is out of range (" + std::to_string(low) + " to " + std::to_string(high) + ")",
                 keep);
            return false;
        }
        out = static_cast<T>(number);
        return true;
    }

    bool boolean(const json& object, const std::string& prefix, const char* key, bool& out)
    {
        const json* value = member(object, key);
        if (value == nullptr) {
            return false;
        }
        if (!value->is_boolean()) {
            note(prefix + key, "is " + typeWithArticle(*value) + ", not true or false",
                 std::string("ignored, ") + (out ? "true" : "false") + " applies");
            return false;
        }
        out = value->get<bool>();
        return true;
    }

    bool string(const json& object, const std::string& prefix, const char* key, std::string& out)
    {
        const json* value = member(object, key);
        if (value == nullptr) {
            return false;
        }
        if (!value->is_string()) {
            note(prefix + key, "is " + typeWithArticle(*value) + ", not a string", "ignored");
            return false;
        }
        out = value->get<std::string>();
        return true;
    }

    // An object-valued section; notes anything else.
    const json* section(const json& config, const char* key, const std::string& effect)
    {
        const json* value = member(config, key);
        if (value != nullptr && !value->is_object()) {
            note(key, "is " + typeWithArticle(*value) + ", not an object", effect);
            return nullptr;
        }
        return value;
    }

private:
    ConfigReading& m_reading;
};

void readLogging(CReader& reader, const json& config)
{
    const json* logging = reader.section(config, "logging", "ignored: nothing is logged");
    if (logging == nullptr) {
        return;
    }
    LibraryConfiguration& c = reader.configuration();
    reader.unknownKeys(*logging, "logging.", kLoggingKeys);
    c.hasLogging = true;
    bool enabled = true;
    if (reader.boolean(*logging, "logging.", "enabled", enabled) && !enabled) {
        c.logLevel = kLogDisabled;
        reader.ignored(*logging, "logging.", {"loglevel", "logfile", "logconsole"}, "logging.enabled is false");
        return;
    }
    reader.integer(*logging, "logging.", "loglevel", c.logLevel);
    std::string file;
    if (reader.string(*logging, "logging.", "logfile", file)) {
        c.logFile = file;
        if (const auto problem = pathProblem(file, W_OK)) {
            reader.note("logging.logfile", *problem,
                        "no log file: lines go to standard output only when logging.logconsole is true");
        }
    }
    reader.boolean(*logging, "logging.", "logconsole", c.logConsole);
}

void readClientCertificate(CReader& reader, const json& transport)
{
    LibrarySettings& s = reader.configuration().settings;
    std::string cert;
    std::string key;
    // An empty path names no file: as if the key were not there.
    const bool hasCert = reader.string(transport, "transport.", "clientcert", cert) && !cert.empty();
    const bool hasKey = reader.string(transport, "transport.", "clientkey", key) && !key.empty();
    if (hasCert && hasKey) {
        s.clientcert = cert;
        s.clientkey = key;
    } else if (hasCert || hasKey) {
        reader.note(hasCert ? "transport.clientcert" : "transport.clientkey",
                    hasCert ? "is set without transport.clientkey" : "is set without transport.clientcert",
                    "ignored: no client certificate is presented");
    }
}

// False when reading stops here: an address and a port without a CA bundle.
bool readTls(CReader& reader, const json& transport)
{
    LibraryConfiguration& c = reader.configuration();
    std::string address;
    int32_t port = 0;
    const bool hasAddress = reader.string(transport, "transport.", "address", address);
    const bool hasPort = reader.integer(transport, "transport.", "port", port);
    if (!hasAddress || !hasPort) {
        if (hasAddress || hasPort) {
            reader.note(hasAddress ? "transport.address" : "transport.port",
                        hasAddress ? "is set without a usable transport.port" : "is set without transport.address",
                        "ignored: TLS is not used, tokens are reached over " + transportName(c.transport));
        }
        reader.ignored(transport, "transport.", {"cacertbundle", "clientcert", "clientkey"},
                       "is used only with transport.address and transport.port");
        return true;
    }
    c.settings.address = address;
    c.settings.port = port;
    const json* bundle = member(transport, "cacertbundle");
    if (bundle == nullptr || !bundle->is_string()) {
        const std::string problem =
            bundle == nullptr ? "is missing, and TLS needs it" : "is " + typeWithArticle(*bundle) + ", not a string";
        reader.note("transport.cacertbundle", problem,
                    "reading stops here: TLS is not used, tokens are reached over " + transportName(c.transport) +
                        ", and the keys after it are not applied");
        reader.stop("transport.cacertbundle " + problem);
        return false;
    }
    c.settings.cacertbundle = bundle->get<std::string>();
    readClientCertificate(reader, transport);
    if (c.unixRequested) {
        reader.note("transport.unix", "transport.address and transport.port choose TLS, which wins", "ignored");
    }
    c.transport = TransportChoice::Tls;
    return true;
}

// An array of user names or ids; a user the system does not know is noted
// and left out.
void readTrustedUsers(CReader& reader, const json& transport)
{
    const json* users = member(transport, "trustedusers");
    if (users == nullptr) {
        return;
    }
    if (!users->is_array()) {
        reader.note("transport.trustedusers", "is " + typeWithArticle(*users) + ", not an array of users",
                    std::string("ignored: sockets of root, this user and ") + corvel::kServiceUser + " are trusted");
        return;
    }
    std::vector<uid_t> trusted;
    for (const json& user : *users) {
        const std::string text = user.is_string()            ? user.get<std::string>()
                                 : user.is_number_unsigned() ? std::to_string(user.get<uint64_t>())
                                                             : "";
        const std::optional<uid_t> id = text.empty() ? std::nullopt : corvel::userId(text);
        if (!id) {
            reader.note("transport.trustedusers", user.dump() + " is no user of this system", "left out");
            continue;
        }
        trusted.push_back(*id);
    }
    reader.configuration().settings.trustedUsers = trusted;
}

bool readTransport(CReader& reader, const json& config)
{
    const json* transport = reader.section(config, "transport", "ignored: tokens are reached over USB HID");
    if (transport == nullptr) {
        return true;
    }
    LibraryConfiguration& c = reader.configuration();
    reader.unknownKeys(*transport, "transport.", kTransportKeys);
    reader.integer(*transport, "transport.", "vid", c.settings.vid);
    reader.integer(*transport, "transport.", "pid", c.settings.pid);
    reader.integer(*transport, "transport.", "usagePage", c.settings.usagePage);
    bool useUnix = false;
    if (reader.boolean(*transport, "transport.", "unix", useUnix) && useUnix) {
        c.unixRequested = true;
        c.transport = TransportChoice::Unix;
        reader.string(*transport, "transport.", "sockdir", c.settings.sockdir);
        readTrustedUsers(reader, *transport);
    } else {
        reader.ignored(*transport, "transport.", {"sockdir", "trustedusers"},
                       "is read only when transport.unix is true");
    }
    if (readTls(reader, *transport)) {
        return true;
    }
    reader.ignored(*transport, "transport.", {"clientcert", "clientkey"},
                   "is not read: reading stopped at transport.cacertbundle");
    return false;
}

void readLockFile(CReader& reader, const json& config)
{
    std::string path;
    if (!reader.string(config, "", "lockfile", path)) {
        return;
    }
    reader.configuration().lockFile = path;
    // The lock is taken on the file opened for reading and writing.
    if (const auto problem = pathProblem(path, R_OK | W_OK)) {
        reader.note("lockfile", *problem,
                    "no lock file: the exchanges of different processes with a token are not serialised");
    }
}

// nlohmann's "[json.exception.parse_error.101] parse error at ..." without its tag.
std::string withoutTag(const std::string& message)
{
    const size_t end = message.rfind("] ", message.find(' '));
    return message.rfind('[', 0) == 0 && end != std::string::npos ? message.substr(end + 2) : message;
}

// A time-out of 0 would have the TLS transport wait for ever and the others
// not at all: it means the default.
void readTimeout(CReader& reader, const json& config, const char* key, uint32_t& milliseconds)
{
    const uint32_t fallback = milliseconds;
    if (reader.integer(config, "", key, milliseconds) && milliseconds == 0) {
        milliseconds = fallback;
        reader.note(key, "is 0", "the default, " + std::to_string(fallback) + " ms, applies");
    }
}

}  // namespace

ConfigReading readConfiguration(std::istream& in)
{
    ConfigReading reading;
    CReader reader(reading);
    json config;
    try {
        config = json::parse(in);
    } catch (const json::exception& error) {
        reader.note("", "is not JSON (" + withoutTag(error.what()) + ")", kWholeFileIgnored);
        reader.stop(error.what());
        return reading;
    }
    if (!config.is_object()) {
        reader.note("", "is " + typeWithArticle(config) + ", not a JSON object", kWholeFileIgnored);
        return reading;
    }
    reader.unknownKeys(config, "", kTopKeys);
    readLogging(reader, config);
    if (!readTransport(reader, config)) {
        reader.ignored(config, "", {"timeout", "keytimeout", "lockfile"},
                       "is not read: reading stopped at transport.cacertbundle");
        return reading;
    }
    readTimeout(reader, config, "timeout", reading.configuration.settings.timeout);
    readTimeout(reader, config, "keytimeout", reading.configuration.settings.keytimeout);
    readLockFile(reader, config);
    return reading;
}

}  // namespace vexa::pkcs11
