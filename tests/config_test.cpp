// The settings reader: it fails closed, naming the key of every line it
// cannot read; the table that drives it, and the documentation that lists it.
#include "exports.h"
#include "fake_host.h"
#include "log.h"
#include "monitor.h"
#include "plugin.h"
#include "attribute_filter.h"
#include "dn.h"
#include "subtree.h"
#include "settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

namespace {

// A complete, valid file; the cases add or replace lines.
const std::string kGood = "RABBIT_HOST=mq1.lab\nRABBIT_EXCHANGE=dirmirror\n"
                          "RABBIT_ROUTINGKEY=ldap.changes\nRABBIT_USERNAME=svc\n"
                          "RABBIT_PASSWORD=s3cr3t word\n";

class SettingsFile : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/dirmirror-config-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        fake_log_clear();
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string write(const std::string &bytes, mode_t mode = 0600)
    {
        const auto path = (dir_ / "dirmirror.env").string();
        std::ofstream(path, std::ios::binary) << bytes;
        chmod(path.c_str(), mode);
        return path;
    }
    dirmirror::SettingsFile read(const std::string &bytes)
    {
        return dirmirror::read_settings_file(write(bytes).c_str());
    }

    std::filesystem::path dir_;
};

} // namespace

// Each bad line gives one error line naming its key (or its line), the
// password never shown; the file then gives no settings.
TEST_F(SettingsFile, EveryProblemIsOneLineNamingTheKey)
{
    struct Case {
        const char *name;
        std::string lines;
        std::string error; // the whole line
    };
    const std::vector<Case> cases = {
        {"unknown switch value", "RABBIT_TLS=maybe\n",
         "RABBIT_TLS: \"maybe\" не распознано: допустимо on/off, true/false, yes/no, 1/0 (строка 6)"},
        {"key in the wrong case", "rabbit_tls=on\n", "Ключ rabbit_tls пишется RABBIT_TLS (строка 6)"},
        {"misspelt key", "RABBIT_TSL=on\n", "Неизвестный ключ RABBIT_TSL (строка 6)"},
        {"shell syntax", "export RABBIT_TLS=on\n", "Неизвестный ключ export RABBIT_TLS (строка 6)"},
        {"no equals sign", "RABBIT_TLS on\n", "Нет знака «=»: ожидается КЛЮЧ=значение (строка 6)"},
        {"port out of range", "RABBIT_PORT=65536\n",
         "RABBIT_PORT: \"65536\" не номер порта: ожидается целое число от 1 до 65535 (строка 6)"},
        {"port with letters", "RABBIT_PORT=123abc\n",
         "RABBIT_PORT: \"123abc\" не номер порта: ожидается целое число от 1 до 65535 (строка 6)"},
        {"buffer size with a unit", "BUFFER_MB=1G\n",
         "BUFFER_MB: \"1G\" не размер: ожидается целое число мегабайт от 1 до 65536 (строка 6)"},
        {"buffer size zero", "BUFFER_MB=0\n",
         "BUFFER_MB: \"0\" не размер: ожидается целое число мегабайт от 1 до 65536 (строка 6)"},
        {"empty value", "RABBIT_VHOST=\n", "RABBIT_VHOST: пустое значение (строка 6)"},
        {"given twice", "RABBIT_PASSWORD=  \n", "RABBIT_PASSWORD: задан дважды (строки 5 и 6)"},
        {"a line too long", "RABBIT_VHOST=" + std::string(4084, 'v') + "\n",
         "RABBIT_VHOST: строка длиннее 4096 байт (строка 6)"},
        {"not attribute types", "EXCLUDE_ATTRIBUTES=userPassword, user Password\n",
         "EXCLUDE_ATTRIBUTES: \"userPassword, user Password\" не список типов атрибутов через "
         "запятую (строка 6)"},
        {"TLS without a CA", "RABBIT_TLS=yes\n", "RABBIT_CACERT не задан, а RABBIT_TLS включён"},
        {"a CA file that is not there", "RABBIT_TLS=on\nRABBIT_CACERT=/nonexistent/ca.pem\n",
         "RABBIT_CACERT: файла \"/nonexistent/ca.pem\" нет"},
        {"a certificate without its key", "RABBIT_CERT=/c.pem\n",
         "RABBIT_CERT задан без RABBIT_KEY"},
        {"a subtree that is no DN", "SUBTREE=ou=People,dc=lab\nSUBTREE=People\n",
         "SUBTREE: \"People\" не DN (строка 7)"},
        {"two subtrees with one routing name",
         "SUBTREE=ou=People,dc=lab\nSUBTREE=OU=people,o=other\n",
         "SUBTREE: \"ou=People,dc=lab\" и \"OU=people,o=other\" дают одно имя маршрута \"people\""},
        {"a subtree named like the control messages", "SUBTREE=cn=Control,dc=lab\n",
         "SUBTREE: \"cn=Control,dc=lab\" даёт имя маршрута \"control\", занятое управляющими "
         "сообщениями"},
        {"an unknown routing", "ROUTING=per-container\n",
         "ROUTING: \"per-container\" не распознано: допустимо single или per-subtree (строка 6)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto file = read(kGood + c.lines);
        EXPECT_FALSE(file.settings);
        EXPECT_EQ(file.errors, std::vector<std::string>{c.error});
    }
    const auto missing = read("RABBIT_HOST=mq1.lab\n");
    EXPECT_EQ(missing.errors, (std::vector<std::string>{"RABBIT_EXCHANGE не задан",
                                                       "RABBIT_ROUTINGKEY не задан",
                                                       "RABBIT_USERNAME не задан",
                                                       "RABBIT_PASSWORD не задан"}));
    const std::string without_first = kGood.substr(kGood.find('\n') + 1);
    EXPECT_EQ(read("RABBIT_HOST=mq1:x\n" + without_first).errors,
              std::vector<std::string>{
                  "RABBIT_HOST: \"mq1:x\" не список узлов host[:port] через запятую"});
    EXPECT_EQ(read("RABBIT_HOST= \t\n" + without_first).errors,
              std::vector<std::string>{"RABBIT_HOST: пустое значение (строка 1)"});
}

// A value is the rest of its line, surrounding blanks trimmed; "#" starts a
// comment only at the start of a line; switches in any of their spellings;
// lists with any blanks; the defaults of what is left out.
TEST_F(SettingsFile, ValuesAsWrittenAndTheDefaults)
{
    const auto file = read("# comment\n  # indented comment\n\n" + kGood +
                           "RABBIT_VHOST =  /with blanks#and hash \r\n"
                           "RABBIT_TLS=Yes\nRABBIT_VERIFY_HOSTNAME=0\n"
                           "RABBIT_CACERT=/etc/hostname\n"
                           "EXCLUDE_ATTRIBUTES = userPassword ,description,  krbPrincipalKey\n"
                           "PUBLISH_REPLICATED=FALSE\nPUBLISH_INTERNAL=no\n"
                           "WAIT_FOR_BROKER_AT_START=off\nMONITOR_GROUP=cn=monitoring,dc=lab\n"
                           "SUBTREE=ou=People,dc=example,dc=com\n"
                           "SUBTREE = cn=Smith\\, John;o=Hosts \nROUTING=per-subtree\n");
    EXPECT_EQ(file.errors, std::vector<std::string>{});
    ASSERT_TRUE(file.settings);
    const auto &s = *file.settings;
    EXPECT_EQ(s.password, "s3cr3t word");
    EXPECT_EQ(s.vhost, "/with blanks#and hash");
    EXPECT_TRUE(s.tls);
    EXPECT_EQ(s.port, 5671) << "the TLS port when none is given";
    EXPECT_FALSE(s.verify_hostname);
    EXPECT_EQ(s.exclude_attributes,
              (std::vector<std::string>{"userPassword", "description", "krbPrincipalKey"}));
    EXPECT_FALSE(s.publish_replicated || s.publish_internal || s.wait_for_broker_at_start);
    EXPECT_EQ(s.monitor_group, "cn=monitoring,dc=lab");
    EXPECT_EQ(s.subtrees,
              (std::vector<std::string>{"ou=People,dc=example,dc=com", "cn=Smith\\, John;o=Hosts"}));
    EXPECT_TRUE(s.routing_per_subtree);

    const auto plain = read(kGood);
    ASSERT_TRUE(plain.settings);
    EXPECT_EQ(plain.settings->port, 5672);
    EXPECT_EQ(plain.settings->vhost, "/");
    EXPECT_TRUE(plain.settings->publish_internal);
    EXPECT_FALSE(plain.settings->wait_for_broker_at_start || plain.settings->publish_secrets);
    EXPECT_EQ(plain.settings->max_message_mb, 128);
    EXPECT_TRUE(plain.settings->subtrees.empty());
    EXPECT_FALSE(plain.settings->routing_per_subtree);
    EXPECT_FALSE(plain.warning);
}

// The plug-in logs what the reader says and refuses to start; the password
// never reaches the log; a file others can read is worth a warning.
TEST_F(SettingsFile, ThePluginLogsEachProblemAndRefusesToStart)
{
    const auto path = write(kGood + "RABBIT_PASSWORD=s3cr3t word\nRABBIT_TLS=maybe\n", 0644);
    dirmirror::Settings settings;
    settings.host = "kept";
    EXPECT_EQ(initialize_config(&settings, path.c_str()), -1);
    EXPECT_EQ(settings.host, "kept") << "as it was, not half the file";
    std::vector<std::string> lines;
    for (const auto &line : fake_log_lines()) {
        EXPECT_EQ(line.text.find("s3cr3t"), std::string::npos) << line.text;
        lines.push_back(line.subsystem + " - " + line.text);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "initial_config - RABBIT_PASSWORD: задан дважды (строки 5 и 6)\n",
                         "initial_config - RABBIT_TLS: \"maybe\" не распознано: допустимо on/off, "
                         "true/false, yes/no, 1/0 (строка 7)\n",
                         "get_entry_rodide_init - Файл настроек " + path +
                             " доступен для чтения не только владельцу (права 0644), а в нём "
                             "пароль брокера: оставьте права 0600\n"}));
    fake_log_clear();
    EXPECT_EQ(initialize_config(&settings, (dir_ / "absent.env").c_str()), -1);
    ASSERT_EQ(fake_log_lines().size(), 1u);
    EXPECT_EQ(fake_log_lines()[0].text,
              "fopen(\"" + (dir_ / "absent.env").string() + "\") :: Не удалось открыть файл конфигурации\n");
    fake_log_clear();
    EXPECT_EQ(set_config_fields(&settings, "RABBIT_VHOST=/x"), 0);
    EXPECT_EQ(settings.vhost, "/x");
    EXPECT_EQ(set_config_fields(&settings, "RABBIT_TLS=sometimes"), -1);
    EXPECT_EQ(fake_log_lines().size(), 1u);
}

TEST(broker_nodes, ListsHostsWithTheirPorts)
{
    using Nodes = std::vector<std::pair<std::string, int>>;
    struct Case {
        const char *hosts;
        bool valid;
        Nodes nodes;
    };
    const std::vector<Case> cases = {
        {"broker1", true, {{"broker1", 5672}}},
        {"a, b:5673 ,c:1", true, {{"a", 5672}, {"b", 5673}, {"c", 1}}},
        {"[::1]:5671,[fe80::1],::1", true, {{"::1", 5671}, {"fe80::1", 5672}, {"::1", 5672}}},
        {"a,,b", false, {}},
        {"h:0", false, {}},
        {"h:65536", false, {}},
        {"h:x", false, {}},
        {"[::1", false, {}},
        {"", false, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.hosts);
        Nodes got;
        const auto nodes = dirmirror::broker_nodes(c.hosts, 5672);
        ASSERT_EQ(nodes.has_value(), c.valid);
        for (const auto &node : nodes.value_or(std::vector<dirmirror::BrokerNode>{}))
            got.emplace_back(node.host, node.port);
        EXPECT_EQ(got, c.nodes);
    }
}

// A SUBTREE base parses as the directory writes DNs; its first RDN's value
// names its routing key.
TEST(subtree_bases, ParseAsTheDirectoryWritesDnsAndNameTheirRoutingKey)
{
    struct Case {
        std::string dn;
        std::optional<std::string> name; // nullopt: not a DN
        std::size_t rdns = 0;
    };
    const std::vector<Case> cases = {
        {"ou=People,dc=example,dc=com", "people", 3},
        {" OU = Hosts ; DC=lab ", "hosts", 2},
        {"cn=Smith\\, John+uid=js,dc=lab", "smith__john", 2},
        {"cn=\"Quoted, Value\",dc=lab", "quoted__value", 2},
        {"cn=#4869,dc=lab", "hi", 2},
        {"cn=caf\\C3\\A9 Bar\\ ,dc=lab", "caf__bar_", 2},
        {"ou=Сотрудники,dc=lab", "__________", 2},
        {"2.5.4.11=Staff-1_a,dc=lab", "staff-1_a", 2},
        {"cn=a=b,dc=lab", "a_b", 2},
        {"", std::nullopt},
        {"People", std::nullopt},
        {"ou=,dc=lab", std::nullopt},
        {"ou=People,,dc=lab", std::nullopt},
        {"ou=People,dc=lab,", std::nullopt},
        {"ou=a<b,dc=lab", std::nullopt},
        {"ou=a\\x,dc=lab", std::nullopt},
        {"1ou=a,dc=lab", std::nullopt},
        {"cn=\"open,dc=lab", std::nullopt},
        {"cn=#486,dc=lab", std::nullopt},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.dn);
        const auto rdns = dirmirror::parse_dn(c.dn);
        ASSERT_EQ(rdns.has_value(), c.name.has_value());
        if (rdns) {
            EXPECT_EQ(rdns->size(), c.rdns);
            EXPECT_EQ(dirmirror::routing_name(rdns->front()), *c.name);
        }
    }
}

TEST(attribute_filter, HidesExcludedTypesAndNeverShowsPasswordsOrBookkeeping)
{
    using Verdict = dirmirror::AttributeFilter::Verdict;
    const std::vector<std::string> excluded = {"userPassword", "KRBprincipalKey"};
    const dirmirror::AttributeFilter filter(excluded);
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

// Password-equivalent secrets stay home unless PUBLISH_SECRETS asks for them;
// the current userPassword hash is no such secret.
TEST(attribute_filter, HoldsBackSecretsUnlessAskedFor)
{
    using Verdict = dirmirror::AttributeFilter::Verdict;
    const dirmirror::AttributeFilter held, published({}, true);
    for (const auto secret : {"krbPrincipalKey", "IPANTHASH", "sambaNTPassword;binary",
                              "passwordHistory", "userPKCS12", "ipatokenOTPkey"}) {
        EXPECT_EQ(held.verdict(secret), Verdict::hide_values) << secret;
        EXPECT_EQ(published.verdict(secret), Verdict::publish) << secret;
    }
    EXPECT_EQ(held.verdict("userPassword"), Verdict::publish);
    EXPECT_TRUE(published.secrets_held_back().empty());
    const std::vector<std::string> excluded = {"krbPrincipalKey", "ipantHash"};
    const auto named = dirmirror::AttributeFilter(excluded).secrets_held_back();
    EXPECT_EQ(named.size(), std::size(dirmirror::kPasswordEquivalents) - 2);
    EXPECT_EQ(std::count(named.begin(), named.end(), "ipaNTHash"), 0);
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
        std::map<std::string, std::string> shown;
        for (auto &[type, value] : plugin.monitor().attributes(
                 plugin.settings(), {}, dirmirror::Monitor::Reader::administrator))
            shown[type] = value;
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
