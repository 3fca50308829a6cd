#include "cli/LinkOptions.h"

#include <algorithm>
#include <filesystem>
#include <optional>

#include "base/Convert.h"
#include "cli/KaldoraCli.h"

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

constexpr std::pair<const char*, TParity> ParityNames[] = {
    {"none", paNone}, {"odd", paOdd}, {"even", paEven}, {"mark", paMark}, {"space", paSpace}};

std::string RateList() {
    std::string text;
    for (size_t k = 0; k < std::size(LinkBaudRates); ++k) {
        if (k) text += k + 1 == std::size(LinkBaudRates) ? " and " : ", ";
        text += std::to_string(LinkBaudRates[k]);
    }
    return text;
}

// "COM" followed by digits only: a COM name, whatever its number.
bool LooksLikeComName(const std::string& name) {
    return name.size() > 3 && Lower(name.substr(0, 3)) == "com" &&
           name.find_first_not_of("0123456789", 3) == std::string::npos;
}

std::string CheckTcpTarget(const std::string& text, std::string& host, unsigned& port) {
    std::string portText;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return "--tcp " + text + ": give HOST:PORT, an IPv6 address as [ADDRESS]:PORT";
        host = text.substr(1, close - 1);
        portText = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos) return "--tcp " + text + ": give HOST:PORT, e.g. 127.0.0.1:4660";
        host = text.substr(0, colon);
        portText = text.substr(colon + 1);
    }
    if (host.empty()) return "--tcp " + text + ": the host is missing (give HOST:PORT)";
    if (portText.empty() || portText.find_first_not_of("0123456789") != std::string::npos)
        return "--tcp " + text + ": the port '" + portText + "' is not a decimal number";
    const auto number = TryStrToInt(portText);
    if (!number || *number < 1 || *number > 65535)
        return "--tcp " + text + ": the port " + portText + " is outside 1..65535";
    port = static_cast<unsigned>(*number);
    return "";
}

} // namespace

const char* const LinkOptionsHelp =
    R"(Link (one of):
  --port COMn|PATH   a serial port: COMn as the window numbers them (COM1 is the
                     first port 'kaldora-cli ports' lists), or a device path such
                     as /dev/ttyUSB0 or ./fixture (anything that is not COMn)
  --baud RATE        2400, 4800, 9600, 19200 (default), 38400, 57600 or 115200
  --parity P         none (default), odd, even, mark or space; 8 data bits, 1 stop
                     bit, no flow control, RTS and DTR raised after opening
  --tcp HOST:PORT    a TCP connection instead, e.g. 127.0.0.1:4660 or [::1]:4660
)";

int ComNumber(const std::string& name) {
    if (!LooksLikeComName(name)) return 0;
    const auto n = TryStrToInt(name.substr(3));
    return n && *n >= 1 ? *n : 0;
}

const char* ParityName(TParity parity) {
    for (const auto& [name, value] : ParityNames)
        if (value == parity) return name;
    return "none";
}

TParity ComponentParity(TParity lineParity) {
    switch (lineParity) {
    case paOdd:
        return paEven;
    case paEven:
        return paOdd;
    default:
        return lineParity;
    }
}

std::string TLinkSettings::Name() const {
    if (Kind == TKind::Tcp) {
        const bool v6 = Host.find(':') != std::string::npos;
        return (v6 ? "[" + Host + "]" : Host) + ":" + std::to_string(TcpPort);
    }
    return Port;
}

std::string ParseLinkOptions(const std::vector<std::string>& args, TLinkSettings& settings,
                             std::vector<std::string>& rest) {
    TLinkSettings result;
    bool serialOption = false;
    std::string serialName; // the first serial option, for the clash message
    std::string tcpText;
    rest.clear();
    for (size_t k = 0; k < args.size(); ++k) {
        const std::string& arg = args[k];
        std::optional<std::string> inlineValue;
        const char* name = nullptr;
        for (const char* option : {"--port", "--baud", "--parity", "--tcp"})
            if (MatchesOption(arg, option, inlineValue)) name = option;
        if (!name) {
            rest.push_back(arg);
            continue;
        }
        std::string value;
        if (inlineValue)
            value = *inlineValue;
        else if (k + 1 < args.size())
            value = args[++k];
        else
            return "option '" + arg + "' needs a value";

        const std::string option(name);
        if (option == "--tcp") {
            const std::string error = CheckTcpTarget(value, result.Host, result.TcpPort);
            if (!error.empty()) return error;
            tcpText = value;
            continue;
        }
        if (!serialOption) serialName = option + " " + value;
        serialOption = true;
        if (option == "--port") {
            if (value.empty()) return "--port '': give COMn (n from 1) or a device path such as /dev/ttyUSB0";
            if (LooksLikeComName(value) && !ComNumber(value)) return "--port " + value + ": ports are numbered from COM1";
            // A path names a file wherever it is; it is kept absolute, since the
            // component takes a name that does not begin with '/' for a COM name.
            result.Port = ComNumber(value) ? value : std::filesystem::absolute(value).lexically_normal().string();
        } else if (option == "--baud") {
            const auto rate = TryStrToInt(value);
            if (!rate || std::find(std::begin(LinkBaudRates), std::end(LinkBaudRates), *rate) ==
                             std::end(LinkBaudRates))
                return "--baud " + value + ": the rates are " + RateList();
            result.Baud = static_cast<unsigned long>(*rate);
        } else {
            bool found = false;
            for (const auto& [parityName, parity] : ParityNames)
                if (Lower(value) == parityName) {
                    result.LineParity = parity;
                    found = true;
                }
            if (!found) return "--parity " + value + ": give none, odd, even, mark or space";
        }
    }
    if (!tcpText.empty() && serialOption)
        return "--tcp " + tcpText + " and " + serialName +
               ": give either a serial port or a TCP link, not both";
    if (!tcpText.empty())
        result.Kind = TLinkSettings::TKind::Tcp;
    else if (!result.Port.empty())
        result.Kind = TLinkSettings::TKind::Serial;
    else if (serialOption)
        return serialName + ": no port given (add --port COMn or --port PATH)";
    settings = std::move(result);
    return "";
}
