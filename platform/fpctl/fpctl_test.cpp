// fpctl's command line, its text for people and its error explanations, without an extension.
#include "Arguments.h"
#include "Errors.h"
#include "Fpctl.h"
#include "Terminal.h"
#include "fileprovider/Registry.h"
#include "support/Waiting.h"

#include <gtest/gtest.h>
#include <random>

namespace json = boost::json;
using namespace fpctl;

namespace {

constexpr const char* root = "NSFileProviderRootContainerItemIdentifier";

std::string usageErrorOf(const std::vector<std::string>& words) {
    try {
        parseCommand(words);
    } catch (const UsageError& bad) {
        return bad.what();
    }
    return "";
}

} // namespace

TEST(FpctlArguments, CommandsInArgumentFormBecomeTheirScriptForm) {
    struct Case {
        std::vector<std::string> words;
        json::object expected;
    };
    const Case cases[] = {
        {{"item", "/"}, {{"op", "item"}, {"id", root}}},
        {{"ls", "@working-set"},
         {{"op", "list"}, {"container", "NSFileProviderWorkingSetContainerItemIdentifier"}}},
        {{"anchor", "@trash"},
         {{"op", "anchor"}, {"container", "NSFileProviderTrashContainerItemIdentifier"}}},
        {{"item", "@trash/x"}, {{"op", "item"}, {"id", "@trash/x"}}},
        {{"item", root}, {{"op", "item"}, {"id", root}}},
        {{"item", "--", "--odd name"}, {{"op", "item"}, {"id", "--odd name"}}},
        {{"fetch", "a", "--out", "f", "--force"},
         {{"op", "fetch"}, {"id", "a"}, {"out", "f"}, {"force", true}}},
        // No base at all: none in the script form, so the session sends the current version.
        {{"delete", "a"}, {{"op", "delete"}, {"id", "a"}, {"recursive", false}}},
        // A base given, even empty, is passed through as given.
        {{"delete", "a", "--base-content", "", "--recursive"},
         {{"op", "delete"},
          {"id", "a"},
          {"recursive", true},
          {"baseVersion", {{"contentVersion", ""}, {"metadataVersion", ""}}}}},
        {{"modify", "a", "--fields", "filename,contents", "--name", "b", "--parent", "/"},
         {{"op", "modify"},
          {"item", {{"itemIdentifier", "a"}, {"filename", "b"}, {"parentItemIdentifier", root}}},
          {"changedFields", {"filename", "contents"}},
          {"contents", nullptr}}},
        {{"watch", "/", "--interval", "0.5"}, {{"op", "watch"}, {"container", root}, {"interval", 0.5}}},
        {{"changes", "Docs", "--anchor-base64", "AAE="},
         {{"op", "changes"}, {"container", "Docs"}, {"anchorBase64", "AAE="}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseCommand(c.words), c.expected) << c.words[0] << " " << c.words.at(1);
}

TEST(FpctlArguments, UsageErrorsSayWhatIsWrong) {
    struct Case {
        std::vector<std::string> words;
        std::string says;
    };
    const Case cases[] = {
        {{"nonsense"}, "unknown command nonsense"},
        {{"item"}, "item takes 1 argument"},
        {{"ls", "a", "--bogus", "1"}, "ls has no option --bogus"},
        {{"fetch", "a", "--out"}, "--out needs a value"},
        {{"fetch", "a", "--force"}, "--force goes with --out"},
        {{"changes", "a"}, "one of them"},
        {{"changes", "a", "b", "--anchor-base64", "AA=="}, "one of them"},
        {{"watch", "a", "--interval", "0"}, "not a number of seconds"},
        {{"fetch-partial", "a", "1", "2x"}, "not a number: 2x"},
        {{"modify", "a", "--name", "b"}, "modify needs --fields"},
        {{"modify", "a", "--fields", "filename,colour"},
         "unknown field \"colour\"; the fields are: " + itemFieldList()},
    };
    for (const auto& c : cases)
        EXPECT_NE(usageErrorOf(c.words).find(c.says), std::string::npos)
            << c.words[0] << ": " << usageErrorOf(c.words);
    EXPECT_NE(itemFieldList().find("contentModificationDate"), std::string::npos);
}

TEST(FpctlArguments, GlobalOptionsAndTheDefaultDomain) {
    auto plain = parseArguments({"info"});
    EXPECT_EQ(plain.domain, "org.wyvernloft.FileProvider.domain");
    EXPECT_EQ(plain.displayName, "Wyvernloft");
    auto given = parseArguments({"--json", "--domain", "d", "--display-name", "D", "--", "item", "--", "-x"});
    EXPECT_TRUE(given.json);
    EXPECT_EQ(given.domain, "d");
    EXPECT_EQ(given.displayName, "D");
    EXPECT_EQ(*given.command, (json::object{{"op", "item"}, {"id", "-x"}}));
    EXPECT_TRUE(parseArguments({"--script"}).script);
    EXPECT_TRUE(parseArguments({"--help", "--domain", "../.."}).help);
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {}, {"--bogus", "info"}, {"--script", "info"}, {"--domain"}, {"--domain", "../..", "info"}})
        EXPECT_THROW(parseArguments(bad), UsageError) << (bad.empty() ? "(none)" : bad[0]);
}

TEST(FpctlArguments, DomainIdentifiersAreCheckedAsTheRegistryChecksThem) {
    support::TemporaryDirectory dir;
    fileprovider::Registry registry(dir.path());
    const std::vector<std::string> ids = {"",
                                          ".",
                                          "..",
                                          "../..",
                                          "a/b",
                                          "/",
                                          std::string("a\0b", 3),
                                          "ok",
                                          "..x",
                                          "a b",
                                          "org.wyvernloft.FileProvider.domain",
                                          "\xff"};
    for (const auto& id : ids) {
        foundation::ErrorRef refused;
        registry.addDomain(fileprovider::Domain(id, "n"),
                           [&](foundation::ErrorRef error) { refused = error; });
        EXPECT_EQ(isValidDomainIdentifier(id), refused == nullptr) << id;
    }
}

TEST(FpctlArguments, SystemVersions) {
    for (const char* good : {"15", "15.0", "12.3.1", "0.0.0", "100.2"})
        EXPECT_TRUE(isSystemVersion(good)) << good;
    for (const char* bad :
         {"", "abc", "15.", ".15", "1.2.3.4", "15.0beta", " 15", "-1", "1..2", "99999999999"})
        EXPECT_FALSE(isSystemVersion(bad)) << bad;
}

TEST(FpctlTerminal, EscapesWhatATerminalWouldActOn) {
    struct Case {
        std::string text, shown;
    };
    const Case cases[] = {
        {"plain name.txt", "plain name.txt"},
        {"a\nb", "a\\x0Ab"},
        {"\x1b[31mred", "\\x1B[31mred"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        {"bad\xff", "bad\\xFF"},
        {"a\\b", "a\\\\b"},
        {"\xe2\x80\xae"
         "txt.exe",
         "\\u{202E}txt.exe"},
        {"\xc2\x85", "\\u{0085}"},
        {"tab\there\x7f", "tab\\x09here\\x7F"},
        {"\xe6\x97\xa5\xe6\x9c\xac", "\xe6\x97\xa5\xe6\x9c\xac"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(escapeForTerminal(c.text), c.shown) << c.shown;
    EXPECT_EQ(displayWidth("abc"), 3);
    EXPECT_EQ(displayWidth("\xe6\x97\xa5\xe6\x9c\xac"), 4);     // two wide characters
    EXPECT_EQ(displayWidth("e\xcc\x81"), 1);                    // e and a combining acute
    EXPECT_EQ(displayWidth("\xf0\x9f\x98\x80"), 2);             // an emoji
    EXPECT_EQ(fitColumns("abcdefghij", 5), "ab\xe2\x80\xa6ij"); // cut in the middle
    EXPECT_EQ(fitColumns("abc", 5), "abc  ");
}

// Any text, cut to any width, takes exactly that width and keeps what fits whole.
TEST(FpctlTerminal, FittingTakesExactlyTheColumnsGiven) {
    const std::vector<std::string> pieces = {
        "a", "Z", "/", "\xe6\x97\xa5", "\xcc\x81", "\xf0\x9f\x98\x80", "\xc3\xa9"};
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        for (int n = static_cast<int>(random() % 30); n > 0; --n)
            text += pieces[random() % pieces.size()];
        int width = 1 + static_cast<int>(random() % 20);
        std::string fitted = fitColumns(text, width);
        ASSERT_EQ(displayWidth(fitted), width) << text << " in " << width;
        if (displayWidth(text) <= width)
            ASSERT_EQ(fitted.substr(0, text.size()), text);
        else
            ASSERT_NE(fitted.find("\xe2\x80\xa6"), std::string::npos);
    }
}

TEST(FpctlTerminal, ProgressBarFillsItsLine) {
    for (int columns : {40, 80, 132})
        for (double fraction : {0.0, 0.42, 1.0, 7.0}) {
            std::string line =
                ProgressBar::render("fetch Docs/big.bin", fraction, std::chrono::seconds(3), columns);
            EXPECT_EQ(displayWidth(line), columns - 1) << line;
            auto bar = line.substr(line.find('[') + 1, line.find(']') - line.find('[') - 1);
            auto filled = static_cast<double>(std::count(bar.begin(), bar.end(), '#'));
            EXPECT_NEAR(filled / static_cast<double>(bar.size()), std::min(fraction, 1.0), 1.0 / bar.size());
            EXPECT_NE(line.find(std::to_string(static_cast<int>(std::min(fraction, 1.0) * 100)) + "%"),
                      std::string::npos);
        }
}

TEST(FpctlErrors, NamesAndHints) {
    EXPECT_EQ(errorName("NSFileProviderErrorDomain", -1004), "server unreachable");
    EXPECT_EQ(errorName("NSFileProviderErrorDomain", -1005), "no such item");
    EXPECT_EQ(errorName("Wyvernloft", -2), "no host connection");
    EXPECT_EQ(errorName("Wyvernloft", 418), "host answered HTTP 418");
    EXPECT_EQ(errorName("Elsewhere", 1), std::nullopt);

    auto error = [](const char* domain, std::int64_t code, json::object info = {}) {
        return json::value{{"domain", domain}, {"code", code}, {"userInfo", std::move(info)}};
    };
    json::value refused =
        error("NSURLErrorDomain", -1004, {{"NSErrorFailingURLStringKey", "http://127.0.0.1:5/v1/item?id=a"}});
    struct Case {
        json::value error;
        HintContext context;
        std::string says; // empty: no hint
    };
    const Case cases[] = {
        {error("Wyvernloft", -2), {"item", false, {"/g/app/fphost.json"}}, "looked for /g/app/fphost.json"},
        {error("Wyvernloft", -2), {"item", false, {"/g/app/fphost.json"}}, "not running"},
        {error("NSFileProviderErrorDomain", -1004, {{"NSUnderlyingError", refused}}),
         {"item", false, {}},
         "nothing answered at http://127.0.0.1:5:"},
        {error("NSFileProviderErrorDomain", -1004, {{"NSUnderlyingError", error("Wyvernloft", -3)}}),
         {"item", false, {}},
         "server error"},
        {error("NSFileProviderErrorDomain", -2005), {"delete", true, {}}, "no listing of this folder"},
        {error("NSFileProviderErrorDomain", -2005), {"delete", false, {}}, ""},
        {error("NSFileProviderErrorDomain", -1001), {"create", false, {}}, "--may-exist"},
        {error("fpctl", lookupFailed, {{"NSUnderlyingError", error("Wyvernloft", -2)}}),
         {"delete", false, {"/x/fphost.json"}},
         "looked for /x/fphost.json"},
        {error("Elsewhere", 3), {"item", false, {}}, ""},
    };
    for (const auto& c : cases) {
        auto hint = hintFor(c.error, c.context);
        if (c.says.empty())
            EXPECT_EQ(hint, std::nullopt) << json::serialize(c.error);
        else
            EXPECT_NE(hint.value_or("").find(c.says), std::string::npos) << hint.value_or("(none)");
    }

    json::object failedListing{{"op", "list"},
                               {"calls", json::array{json::array{"didEnumerateItems", json::array{}},
                                                     json::array{"finishEnumeratingWithError", refused}}}};
    ASSERT_NE(reportedError(failedListing), nullptr);
    EXPECT_EQ(*reportedError(failedListing), refused);
    EXPECT_EQ(reportedError({{"op", "item"}, {"error", nullptr}}), nullptr);
}

namespace {

json::object listed(const std::string& id, bool folder, std::int64_t size) {
    return {{"itemIdentifier", id},
            {"parentItemIdentifier", root},
            {"filename", id},
            {"contentType", folder ? "public.folder" : "public.data"},
            {"documentSize", folder ? json::value(nullptr) : json::value(size)},
            {"decorations", nullptr}};
}

} // namespace

// Whatever the names, the kind column starts at one display column on every row, and nothing a
// terminal would act on reaches it.
TEST(FpctlText, ListingsStayInTheirColumns) {
    const std::vector<std::string> pieces = {"a", "\xe6\x97\xa5", "e\xcc\x81", "\n", "\x1b", "\t", "x", "/"};
    std::mt19937 random(11);
    for (int round = 0; round < 200; ++round) {
        json::array items;
        for (int n = 1 + static_cast<int>(random() % 6); n > 0; --n) {
            std::string name;
            for (int k = 1 + static_cast<int>(random() % 40); k > 0; --k)
                name += pieces[random() % pieces.size()];
            items.push_back(listed(name, random() % 2, static_cast<std::int64_t>(random() % 5000000)));
        }
        int columns = random() % 2 ? 0 : 80 + static_cast<int>(random() % 60);
        json::object output{{"op", "list"},
                            {"calls", json::array{json::array{"didEnumerateItems", items},
                                                  json::array{"finishEnumeratingUpToPage", nullptr}}},
                            {"signals", json::array{}}};
        std::string text = describe(output, columns);
        ASSERT_EQ(text.find_first_of("\x1b\t"), std::string::npos) << text;
        std::istringstream lines(text);
        std::string row;
        std::getline(lines, row); // the heading
        std::optional<int> kindColumn;
        for (std::size_t i = 0; i < items.size(); ++i) {
            ASSERT_TRUE(std::getline(lines, row));
            auto kind = row.rfind("  folder");
            if (kind == std::string::npos)
                kind = row.rfind("  file");
            ASSERT_NE(kind, std::string::npos) << row;
            int at = displayWidth(row.substr(0, kind));
            if (!kindColumn)
                kindColumn = at;
            ASSERT_EQ(at, *kindColumn) << text;
            if (columns) {
                ASSERT_LE(displayWidth(row), columns) << row;
            }
        }
    }
}
