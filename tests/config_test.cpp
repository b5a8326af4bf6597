// The settings reader: one "KEY = value" line at a time, whole files, the
// table that drives them, and the documentation that lists them.
#include "exports.h"
#include "fake_host.h"
#include "log.h"
#include "monitor.h"
#include "plugin.h"
#include "scope.h"
#include "settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <algorithm>
#include <set>
#include <sstream>
#include <string>

namespace {

struct Fields {
    std::string host = "<unset>", port = "0", vhost = "<unset>", exchange = "<unset>",
                routingkey = "<unset>", username = "<unset>", password = "<unset>";
};

Fields fields_of(const dirmirror::Settings &c)
{
    auto text = [](const std::optional<std::string> &f) { return f.value_or("<unset>"); };
    return {text(c.host),        std::to_string(c.port), text(c.vhost),   text(c.exchange),
            text(c.routing_key), text(c.username),       text(c.password)};
}

void expect_fields(const dirmirror::Settings &c, const Fields &want)
{
    const Fields got = fields_of(c);
    EXPECT_EQ(got.host, want.host);
    EXPECT_EQ(got.port, want.port);
    EXPECT_EQ(got.vhost, want.vhost);
    EXPECT_EQ(got.exchange, want.exchange);
    EXPECT_EQ(got.routingkey, want.routingkey);
    EXPECT_EQ(got.username, want.username);
    EXPECT_EQ(got.password, want.password);
}

/* Settings unlike the defaults in every field, so that a reset is visible. */
dirmirror::Settings spoiled()
{
    dirmirror::Settings s;
    s.host = s.vhost = s.exchange = s.routing_key = s.username = s.password = "x";
    s.cacert = s.cert = s.key = "x";
    s.port = 4242;
    s.tls = true;
    s.verify_hostname = s.publish_replicated = false;
    s.publish_internal = false;
    s.exclude_attributes = "x";
    return s;
}

void expect_defaults(const dirmirror::Settings &c)
{
    expect_fields(c, Fields{});
    EXPECT_FALSE(c.cacert || c.cert || c.key);
    EXPECT_FALSE(c.tls);
    EXPECT_TRUE(c.verify_hostname);
    EXPECT_TRUE(c.publish_replicated);
    EXPECT_TRUE(c.publish_internal);
    EXPECT_EQ(c.exclude_attributes, "");
}

/* The monitor entry's attributes by type. */
std::map<std::string, std::string> shown_by_monitor(const dirmirror::Monitor &monitor,
                                                    const dirmirror::Settings &settings)
{
    std::map<std::string, std::string> shown;
    for (auto &[type, value] : monitor.attributes(settings, {}))
        shown[type] = value;
    return shown;
}

class config_file : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/dirmirror-config-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        fake_log_clear();
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string write(const std::string &bytes)
    {
        const auto path = (dir_ / "dirmirror.env").string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    std::filesystem::path dir_;
    dirmirror::Settings config_;
};

TEST(config_line, AppliesOnlyKeysAtTheStartOfTheLine)
{
    struct Case {
        const char *name;
        std::string line;
        Fields want; // changes from the starting record
    };
    // Every field starts with a value of its own, so "unchanged" is visible.
    const Fields start{"h0", "4242", "v0", "e0", "r0", "u0", "p0"};
    auto with = [&](auto member, std::string value) {
        Fields f = start;
        f.*member = std::move(value);
        return f;
    };
    const std::vector<Case> cases = {
        {"host", "RABBIT_HOST=broker1", with(&Fields::host, "broker1")},
        {"host with blanks", "RABBIT_HOST = broker1\n", with(&Fields::host, "broker1")},
        {"host then more words", "RABBIT_HOST=broker1 broker2", with(&Fields::host, "broker1")},
        {"host with CRLF", "RABBIT_HOST=broker1\r\n", with(&Fields::host, "broker1")},
        {"leading blank", " RABBIT_HOST=broker1", start},
        {"leading tab", "\tRABBIT_HOST=broker1", start},
        {"leading word", "export RABBIT_HOST=broker1", start},
        {"longer key name", "RABBIT_HOSTNAME=x", start},
        {"lower case key", "rabbit_host=broker1", start},
        {"comment", "# RABBIT_HOST=broker1", start},
        {"empty line", "", start},
        {"blank line", " \t\n", start},
        {"no equals sign", "RABBIT_HOST broker1", start},
        {"quoted value", "RABBIT_PASSWORD=\"two words\"", with(&Fields::password, "\"two")},
        {"empty vhost", "RABBIT_VHOST=", start},
        {"empty vhost with blanks", "RABBIT_VHOST =  \n", start},
        {"vhost", "RABBIT_VHOST=/prod", with(&Fields::vhost, "/prod")},
        {"exchange", "RABBIT_EXCHANGE = dir.events", with(&Fields::exchange, "dir.events")},
        {"routing key", "RABBIT_ROUTINGKEY=ldap.#", with(&Fields::routingkey, "ldap.#")},
        {"username", "RABBIT_USERNAME=svc-mirror", with(&Fields::username, "svc-mirror")},
        {"port", "RABBIT_PORT = 5672\n", with(&Fields::port, "5672")},
        {"port with trailing letters", "RABBIT_PORT=123abc", with(&Fields::port, "123")},
        {"port not a number", "RABBIT_PORT=abc", start},
        {"port empty", "RABBIT_PORT=", start},
        {"negative port", "RABBIT_PORT=-1", with(&Fields::port, "-1")},
        {"port with plus sign", "RABBIT_PORT=+7", with(&Fields::port, "7")},
        {"largest int32 port", "RABBIT_PORT=2147483647", with(&Fields::port, "2147483647")},
        {"smallest int32 port", "RABBIT_PORT=-2147483648", with(&Fields::port, "-2147483648")},
        {"port just past int32", "RABBIT_PORT=2147483648", start},
        {"port far past int32", "RABBIT_PORT=99999999999", start},
        {"port past int64", "RABBIT_PORT=99999999999999999999999", start},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        dirmirror::Settings config;
        config.host = "h0";
        config.port = 4242;
        config.vhost = "v0";
        config.exchange = "e0";
        config.routing_key = "r0";
        config.username = "u0";
        config.password = "p0";
        EXPECT_EQ(set_config_fields(&config, c.line.c_str()), 0);
        expect_fields(config, c.want);
    }
    EXPECT_EQ(set_config_fields(nullptr, "RABBIT_HOST=x"), 0);
}

TEST_F(config_file, MissingFileKeepsDefaultsAndLogsOnce)
{
    const auto path = (dir_ / "absent.env").string();
    config_ = spoiled();
    EXPECT_EQ(initialize_config(&config_, path.c_str()), -1);
    expect_defaults(config_);
    const auto lines = fake_log_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 0);
    EXPECT_EQ(lines[0].subsystem, "initial_config");
    EXPECT_EQ(lines[0].text,
              "fopen(\"" + path + "\") :: Не удалось открыть файл конфигурации\n");
}

TEST_F(config_file, EmptyFileGivesDefaults)
{
    config_ = spoiled();
    EXPECT_EQ(initialize_config(&config_, write("").c_str()), 0);
    expect_defaults(config_);
    EXPECT_TRUE(fake_log_lines().empty());
}

TEST_F(config_file, RealisticFile)
{
    const auto path = write("# Broker used by the directory mirror\n"
                            "\n"
                            "RABBIT_HOST=mq1.lab.internal\n"
                            "RABBIT_PORT = 5671\n"
                            "RABBIT_VHOST=/directory\n"
                            "   # indented comment\n"
                            "RABBIT_EXCHANGE=dirmirror.events\r\n"
                            "RABBIT_ROUTINGKEY = ldap.changes\n"
                            "RABBIT_USERNAME=svc-dirmirror\n"
                            "RABBIT_PASSWORD=S3cr3t!#x\n");
    EXPECT_EQ(initialize_config(&config_, path.c_str()), 0);
    expect_fields(config_, {"mq1.lab.internal", "5671", "/directory", "dirmirror.events",
                            "ldap.changes", "svc-dirmirror", "S3cr3t!#x"});

    // The monitor entry shows these settings, never the password; what the
    // file left unset reads as empty.
    auto shown = shown_by_monitor(dirmirror::Monitor{}, config_);
    for (const auto &[type, value] : shown)
        EXPECT_EQ(value.find("S3cr3t"), std::string::npos) << type;
    EXPECT_EQ(shown["rabbitHost"], "mq1.lab.internal");
    EXPECT_EQ(shown["rabbitPort"], "5671");
    EXPECT_EQ(shown["rabbitUsername"], "svc-dirmirror");
    EXPECT_EQ(shown["rabbitCacert"], "");
    EXPECT_EQ(shown["rabbitTls"], "FALSE");
}

TEST_F(config_file, LongLinesArriveInPiecesOf511Bytes)
{
    // The 16-byte key and 495 bytes fill a piece; the next piece starts a key of its own.
    const auto path = write("RABBIT_HOST=" + std::string(600, 'h') + "\n" +
                            "RABBIT_USERNAME=" + std::string(495, 'u') + "RABBIT_VHOST=/cut\n" +
                            "RABBIT_PORT=5672\n");
    EXPECT_EQ(initialize_config(&config_, path.c_str()), 0);
    expect_fields(config_, {.host = std::string(499, 'h'), .port = "5672", .vhost = "/cut",
                            .username = std::string(495, 'u')});
}

TEST_F(config_file, RepeatedKeyTakesTheLastValueThatScans)
{
    const auto path = write("RABBIT_HOST=first\nRABBIT_PORT=1\nRABBIT_HOST=second\n"
                            "RABBIT_PORT=2\nRABBIT_HOST=\nRABBIT_PORT=x\n");
    EXPECT_EQ(initialize_config(&config_, path.c_str()), 0);
    expect_fields(config_, {.host = "second", .port = "2"});
}

TEST_F(config_file, BinaryJunkDoesNotHideValidLines)
{
    std::string junk;
    for (int i = 0; i < 3000; ++i)
        junk += "\0\xff\x01x \xfe"[i % 6];
    const auto path = write(std::string("\0RABBIT_HOST=evil\n", 18) + "\xff\xfeRABBIT_PORT=1\n" +
                            junk + "\n" + "RABBIT_HOST=good\n" + junk +
                            "\nRABBIT_PORT=15672\n\xff\xff\xff\n" +
                            "RABBIT_PASSWORD=last-line-without-newline");
    EXPECT_EQ(initialize_config(&config_, path.c_str()), 0);
    expect_fields(config_,
                  {.host = "good", .port = "15672", .password = "last-line-without-newline"});
}

} // namespace

// TLS, exclusion and publishing settings: on/off switches in any case, paths
// as written; a file without them keeps the defaults (TLS off, host names
// checked, replicated changes published, internal ones not).
TEST(config_line, SwitchesPathsAndLists)
{
    struct Case {
        std::vector<const char *> lines;
        bool tls, verify_hostname;
        std::string cacert, cert, key, excluded;
        bool publish_replicated = true, publish_internal = true;
    };
    const std::vector<Case> cases = {
        {{}, 0, 1, "<unset>", "<unset>", "<unset>", ""},
        {{"RABBIT_TLS=on", "RABBIT_CACERT = /etc/ssl/ca.pem", "RABBIT_CERT=/c.pem", "RABBIT_KEY=/k.pem"},
         1, 1, "/etc/ssl/ca.pem", "/c.pem", "/k.pem", ""},
        {{"RABBIT_TLS=ON", "RABBIT_TLS=maybe", "RABBIT_VERIFY_HOSTNAME=Off"}, 1, 0, "<unset>",
         "<unset>", "<unset>", ""},
        {{"RABBIT_TLS=on", "RABBIT_TLS=off"}, 0, 1, "<unset>", "<unset>", "<unset>", ""},
        {{"EXCLUDE_ATTRIBUTES=userPassword,krbPrincipalKey other"}, 0, 1, "<unset>", "<unset>",
         "<unset>", "userPassword,krbPrincipalKey"},
        {{"PUBLISH_REPLICATED=off", "PUBLISH_INTERNAL=off"}, 0, 1, "<unset>", "<unset>", "<unset>",
         "", 0, 0},
    };
    for (const auto &c : cases) {
        dirmirror::Settings config;
        const std::string path = "/tmp/dirmirror-tls-settings.env";
        {
            std::ofstream file(path);
            for (const char *line : c.lines)
                file << line << "\n";
        }
        ASSERT_EQ(initialize_config(&config, path.c_str()), 0);
        std::filesystem::remove(path);
        EXPECT_EQ(config.tls, c.tls);
        EXPECT_EQ(config.verify_hostname, c.verify_hostname);
        EXPECT_EQ(config.cacert.value_or("<unset>"), c.cacert);
        EXPECT_EQ(config.cert.value_or("<unset>"), c.cert);
        EXPECT_EQ(config.key.value_or("<unset>"), c.key);
        EXPECT_EQ(config.exclude_attributes, c.excluded);
        EXPECT_EQ(config.publish_replicated, c.publish_replicated);
        EXPECT_EQ(config.publish_internal, c.publish_internal);
    }
}

TEST(broker_nodes, ListsHostsWithTheirPorts)
{
    using Nodes = std::vector<std::pair<std::string, int>>;
    struct Case {
        const char *hosts;
        Nodes nodes;
    };
    const std::vector<Case> cases = {
        {"broker1", {{"broker1", 5672}}},
        {"a,b:5673,,c:1", {{"a", 5672}, {"b", 5673}, {"c", 1}}},
        {"[::1]:5671,[fe80::1],::1", {{"::1", 5671}, {"fe80::1", 5672}, {"::1", 5672}}},
        {"h:0,h:65536,h:x", {{"h:0", 5672}, {"h:65536", 5672}, {"h:x", 5672}}},
        {"", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.hosts);
        Nodes got;
        for (const auto &node : dirmirror::broker_nodes(c.hosts, 5672))
            got.emplace_back(node.host, node.port);
        EXPECT_EQ(got, c.nodes);
    }
}

TEST(attribute_filter, HidesExcludedTypesAndNeverShowsPasswordsOrBookkeeping)
{
    using Verdict = dirmirror::AttributeFilter::Verdict;
    const dirmirror::AttributeFilter filter("userPassword,KRBprincipalKey,,");
    const std::vector<std::pair<const char *, Verdict>> cases = {
        {"userPassword", Verdict::hide_values},     {"USERPASSWORD;binary", Verdict::hide_values},
        {"krbPrincipalKey", Verdict::hide_values},  {"userPasswordX", Verdict::publish},
        {"user", Verdict::publish},                 {"cn", Verdict::publish},
        {"unhashed#user#password", Verdict::never}, {"Unhashed#User#Password", Verdict::never},
        // What the backend keeps in its own copy of an entry
        {"entryid", Verdict::never},                {"dsEntryDN", Verdict::never},
        {"parentID", Verdict::never},               {"entryUUID", Verdict::never},
    };
    for (const auto &[type, verdict] : cases)
        EXPECT_EQ(filter.verdict(type), verdict) << type;
    EXPECT_EQ(dirmirror::AttributeFilter().verdict("unhashed#user#password"), Verdict::never);
    EXPECT_EQ(dirmirror::AttributeFilter().verdict("userPassword"), Verdict::publish);
}

TEST(FailureLog, ReachesTheLogWholeAndBecomesTheMonitorsLastError)
{
    std::atomic<int> owed{0};
    auto &plugin = dirmirror::Plugin::begin(nullptr, {}, owed);
    for (const std::size_t size : {10u, 2047u, 2048u, 5000u}) {
        SCOPED_TRACE(size);
        fake_log_clear();
        const std::string detail(size, 'x');
        dirmirror::log_failure("send_message", "ctx :: %s\n", detail.c_str());
        const auto lines = fake_log_lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, SLAPI_LOG_FATAL);
        EXPECT_EQ(lines[0].subsystem, "send_message");
        EXPECT_EQ(lines[0].text, "ctx :: " + detail + "\n");
        auto shown = shown_by_monitor(plugin.monitor(), plugin.settings());
        EXPECT_EQ(shown["lastError"], "ctx :: " + detail);
        EXPECT_EQ(shown["lastErrorTime"].size(), 15u); // YYYYmmddHHMMSSZ
    }
}

namespace {

std::string read_file(const std::string &path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace

// The README's settings table and the sample settings file list exactly the
// keys the reader knows, with the defaults it applies: they cannot drift.
TEST(setting_keys, TheReadmeAndTheSampleFileListEveryKeyAndNoOther)
{
    std::map<std::string, std::string> table;
    for (const auto &row : dirmirror::setting_keys())
        table.emplace(row.key, row.if_missing);

    const std::string readme = read_file(DIRMIRROR_SOURCE_DIR "/README.md");
    const auto section = readme.find("\n## Settings");
    ASSERT_NE(section, std::string::npos);
    const auto end = readme.find("\n## ", section + 1);
    std::map<std::string, std::string> documented;
    std::istringstream lines(readme.substr(section, end - section));
    // Rows "| `KEY` | meaning | default |", the default with or without backticks.
    auto cells = [](const std::string &line) {
        std::vector<std::string> out;
        for (size_t at = 1, bar; (bar = line.find(" |", at)) != std::string::npos; at = bar + 2) {
            std::string cell = line.substr(at, bar - at);
            cell.erase(0, cell.find_first_not_of(' '));
            std::erase(cell, '`');
            out.push_back(cell);
        }
        return out;
    };
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with("| `") && line.ends_with(" |"))
            if (const auto row = cells(line); row.size() == 3)
                documented.emplace(row[0], row[2]);
    EXPECT_EQ(documented, table);

    const std::string sample = read_file(DIRMIRROR_SOURCE_DIR "/config/dirmirror.env.sample");
    std::set<std::string> sampled;
    std::istringstream sample_lines(sample);
    for (std::string line; std::getline(sample_lines, line);) {
        const auto key = line.substr(line.starts_with('#') ? 1 : 0);
        const auto equals = key.find('=');
        if (equals != std::string::npos && equals > 0 &&
            std::all_of(key.begin(), key.begin() + static_cast<long>(equals),
                        [](char c) { return (c >= 'A' && c <= 'Z') || c == '_'; }))
            sampled.insert(key.substr(0, equals));
    }
    std::set<std::string> keys;
    for (const auto &[key, _] : table)
        keys.insert(key);
    EXPECT_EQ(sampled, keys);
}
