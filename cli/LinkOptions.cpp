#include "cli/LinkOptions.h"

#include <algorithm>
#include <filesystem>

#include "base/Convert.h"
#include "comm/LineSettings.h"

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
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

std::string CheckPort(const std::string& value, std::string& port) {
    if (value.empty()) return "--port '': give COMn (n from 1) or a device path such as /dev/ttyUSB0";
    if (LooksLikeComName(value) && !ComNumber(value)) return "--port " + value + ": ports are numbered from COM1";
    // A path names a file wherever it is; it is kept absolute, since the component takes
    // a name that does not begin with '/' for a COM name.
    port = ComNumber(value) ? value : std::filesystem::absolute(value).lexically_normal().string();
    return "";
}

TOptionTable MakeLinkOptionTable() {
    std::vector<std::string> rates, parities;
    for (const TLineBaud& step : BaudCycle)
        rates.push_back(std::to_string(step.Rate));
    for (const TLineParity& parity : LineParities)
        parities.emplace_back(parity.Name);
    TOptionTable table;
    table.push_back(TextOption("port", "COMn|PATH",
                               "a serial port: COMn as the window numbers them (COM1 is the first port "
                               "'kaldora-cli ports' lists), or a device path such as /dev/ttyUSB0 or ./fx "
                               "(anything that is not COMn)"));
    table.back().Repeatable = true;
    table.push_back(ChoiceOption("baud", "RATE", rates, "{} (default 19200)"));
    table.back().Refusal = "the rates are {}";
    table.push_back(ChoiceOption("parity", "P", parities,
                                 "{} (default none); 8 data bits, 1 stop bit, no flow control, RTS and DTR "
                                 "raised after opening"));
    table.back().Refusal = "give {}";
    table.push_back(TextOption("tcp", "HOST:PORT", "a TCP connection instead, e.g. 127.0.0.1:4660 or [::1]:4660"));
    table.back().Repeatable = true;
    return table;
}

} // namespace

const TOptionTable& LinkOptionTable() {
    static const TOptionTable table = MakeLinkOptionTable();
    return table;
}

int ComNumber(const std::string& name) {
    if (!LooksLikeComName(name)) return 0;
    const auto n = TryStrToInt(name.substr(3));
    return n && *n >= 1 ? *n : 0;
}

const char* ParityName(TParity parity) {
    for (const TLineParity& p : LineParities)
        if (p.Line == parity) return p.Name;
    return "none";
}

std::string TLinkSettings::Name() const {
    if (Kind == TKind::Tcp) {
        const bool v6 = Host.find(':') != std::string::npos;
        return (v6 ? "[" + Host + "]" : Host) + ":" + std::to_string(TcpPort);
    }
    return Port;
}

std::string LinkSettingsOf(const TParsedOptions& parsed, std::vector<TLinkSettings>& links) {
    links.clear();
    TLinkSettings line;
    if (parsed.Has("baud")) line.Baud = static_cast<unsigned long>(parsed.Integer("baud"));
    for (const TLineParity& p : LineParities)
        if (parsed.Has("parity") && parsed.Text("parity") == p.Name) line.LineParity = p.Line;
    bool serial = false;
    for (const TOptionValue& v : parsed.Values) {
        if (v.Name != "port" && v.Name != "tcp") continue;
        TLinkSettings link = line;
        const std::string error = v.Name == "tcp" ? CheckTcpTarget(v.Text, link.Host, link.TcpPort)
                                                  : CheckPort(v.Text, link.Port);
        if (!error.empty()) return error;
        link.Kind = v.Name == "tcp" ? TLinkSettings::TKind::Tcp : TLinkSettings::TKind::Serial;
        for (const TLinkSettings& other : links)
            if (other.Kind == link.Kind && other.Name() == link.Name())
                return "--" + v.Name + " " + v.Text + " is given twice";
        serial = serial || link.Kind == TLinkSettings::TKind::Serial;
        links.push_back(link);
    }
    if (!serial && links.empty() && (parsed.Has("baud") || parsed.Has("parity"))) {
        const std::string option = parsed.Has("baud") ? "--baud " + parsed.Text("baud") : "--parity " + parsed.Text("parity");
        return option + ": no port given (add --port COMn or --port PATH)";
    }
    return "";
}

std::string LinkSettingsOf(const TParsedOptions& parsed, TLinkSettings& settings) {
    std::vector<TLinkSettings> links;
    const std::string error = LinkSettingsOf(parsed, links);
    if (!error.empty()) return error;
    settings = TLinkSettings{};
    if (links.empty()) return "";
    if (links.size() > 1) {
        const bool mixed = std::any_of(links.begin(), links.end(), [&](const TLinkSettings& l) { return l.Kind != links[0].Kind; });
        if (mixed) {
            const auto& tcp = links[0].Kind == TLinkSettings::TKind::Tcp ? links[0] : links[1];
            const auto& serial = links[0].Kind == TLinkSettings::TKind::Tcp ? links[1] : links[0];
            return "--tcp " + tcp.Name() + " and --port " + serial.Port +
                   ": give either a serial port or a TCP link, not both";
        }
        return links[0].Name() + " and " + links[1].Name() + ": this command talks to one device; give one link";
    }
    settings = links[0];
    return "";
}

std::string ParseLinkOptions(const std::vector<std::string>& args, TLinkSettings& settings,
                             std::vector<std::string>& rest) {
    // The link rows pick their options out; everything else is left to the caller.
    std::vector<std::string> mine;
    rest.clear();
    for (size_t k = 0; k < args.size(); ++k) {
        const std::string& arg = args[k];
        const bool match = std::any_of(LinkOptionTable().begin(), LinkOptionTable().end(), [&](const TOption& o) {
            const std::string name = "--" + o.Name;
            return arg == name || arg.rfind(name + "=", 0) == 0;
        });
        if (!match) {
            rest.push_back(arg);
            continue;
        }
        mine.push_back(arg);
        if (arg.find('=') == std::string::npos && k + 1 < args.size()) mine.push_back(args[++k]);
    }
    const TParsedOptions parsed = ParseOptions(mine, {LinkOptionTable()});
    if (!parsed.Error.empty()) return parsed.Error;
    return LinkSettingsOf(parsed, settings);
}
