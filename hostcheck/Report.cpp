#include "HostCheck.h"

#include <cmath>
#include <iomanip>
#include <ostream>

namespace wl::hostcheck {

namespace json = boost::json;

bool Report::passed() const {
    for (const auto& result : results)
        if (result.check->level == Level::required && result.status != Status::pass)
            return false;
    return true;
}

namespace {

const char* colourOf(Status status) {
    switch (status) {
    case Status::pass:
        return "\033[32m";
    case Status::fail:
        return "\033[1;31m";
    case Status::blocked:
        return "\033[33m";
    case Status::info:
        return "\033[36m";
    case Status::skipped:
        return "\033[2m";
    }
    return "";
}

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find("; ", start);
        out.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 2;
    }
    return out;
}

} // namespace

void printTable(const Report& report, std::ostream& out, bool colour) {
    out << "wl-hostcheck: host " << report.host << ", connection file " << report.connectionFile
        << ", scratch folder " << report.scratch << "\n\n";
    std::size_t width = 5;
    for (const auto& result : report.results)
        width = std::max(width, result.check->name.size());
    out << "  " << std::left << std::setw(9) << "RESULT" << std::setw(15) << "LEVEL"
        << std::setw(static_cast<int>(width) + 2) << "CHECK"
        << "DESCRIPTION\n";
    std::map<Level, std::map<Status, int>> counts;
    for (const auto& result : report.results) {
        ++counts[result.check->level][result.status];
        std::string status = result.status == Status::fail ? "FAIL" : statusName(result.status);
        out << "  " << (colour ? colourOf(result.status) : "") << std::left << std::setw(9) << status
            << (colour ? "\033[0m" : "") << std::setw(15) << levelName(result.check->level)
            << std::setw(static_cast<int>(width) + 2) << result.check->name << result.check->description
            << "\n";
        auto detail = [&](const char* label, const std::string& text) {
            if (!text.empty())
                out << "  " << std::string(9, ' ') << std::setw(10) << label << text << "\n";
        };
        detail("sent", result.sent);
        detail("got", result.got);
        detail(result.status == Status::blocked ? "because" : "expected", result.expected);
        if (!result.note.empty())
            for (const auto& line : split(result.note))
                detail("note", line);
    }
    out << "\n";
    for (Level level : {Level::required, Level::recommended, Level::informational}) {
        auto& c = counts[level];
        out << "  " << levelName(level) << ": " << c[Status::pass] << " passed, " << c[Status::fail]
            << " failed, " << c[Status::blocked] << " blocked, " << c[Status::skipped] << " skipped";
        if (level == Level::informational)
            out << ", " << c[Status::info] << " reported";
        out << "\n";
    }
    out << "  scratch folder: " << report.cleanup << "\n";
    bool warnings =
        counts[Level::recommended][Status::fail] + counts[Level::recommended][Status::blocked] > 0;
    out << "  verdict: "
        << (!report.passed() ? "FAIL: the extension will misbehave with this host"
            : warnings       ? "pass, with recommended checks failing: users would notice"
                             : "pass")
        << "\n";
}

void printJSON(const Report& report, std::ostream& out) {
    json::array checks;
    std::map<std::string, std::map<std::string, int>> summary;
    for (const auto& result : report.results) {
        json::object entry{{"name", result.check->name},
                           {"level", levelName(result.check->level)},
                           {"description", result.check->description},
                           {"status", statusName(result.status)}};
        if (!result.sent.empty())
            entry["sent"] = result.sent;
        if (!result.got.empty())
            entry["got"] = result.got;
        if (!result.expected.empty())
            entry[result.status == Status::blocked ? "because" : "expected"] = result.expected;
        if (!result.note.empty())
            entry["note"] = result.note;
        entry["seconds"] = std::round(result.seconds * 1000) / 1000;
        checks.push_back(std::move(entry));
        ++summary[levelName(result.check->level)][statusName(result.status)];
    }
    json::object counts;
    for (const auto& [level, statuses] : summary) {
        json::object byStatus;
        for (const auto& [status, n] : statuses)
            byStatus[status] = n;
        counts[level] = std::move(byStatus);
    }
    json::object document{{"host", report.host},        {"connectionFile", report.connectionFile},
                          {"scratch", report.scratch},  {"cleanup", report.cleanup},
                          {"passed", report.passed()},  {"summary", std::move(counts)},
                          {"checks", std::move(checks)}};
    out << json::serialize(document) << "\n";
}

} // namespace wl::hostcheck
