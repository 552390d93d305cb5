#include "clickhouse_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "outputs/clickhouse/http_post.h"

extern char** environ;

namespace kr::collector::test {

namespace {

constexpr int kStartSeconds = 60;
constexpr int kStopSeconds = 60;

// A port no other server of this process was given, from below the
// ephemeral range: clickhouse-server binds with SO_REUSEPORT, so a port that
// a kernel-chosen or outgoing socket (of any process) took while a server
// was down would be shared silently, and part of the connections answered
// by a stranger.
std::uint16_t free_port() {
    static std::mutex mutex;
    static std::set<std::uint16_t> given;
    static std::mt19937 random(std::random_device{}());
    const std::lock_guard<std::mutex> lock(mutex);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const auto port = static_cast<std::uint16_t>(20000 + random() % 12000);
        if (given.count(port) != 0) {
            continue;
        }
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        const bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (free) {
            given.insert(port);
            return port;
        }
    }
    return 0;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Waits up to `seconds` for the child to end; true when it did.
bool reap(pid_t pid, int seconds) {
    for (int i = 0; i < seconds * 20; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// Runs argv[0] from PATH, its output appended to `output`; -1 when it cannot.
pid_t spawn_logged(std::vector<const char*> argv, const std::string& output) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int spawned =
        posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? pid : -1;
}

}  // namespace

ClickHouseServer::ClickHouseServer() {
    char name[] = "/tmp/clickhouse-test-XXXXXX";
    dir_ = mkdtemp(name) != nullptr ? name : "/tmp";
    http_port_ = free_port();
    tcp_port_ = free_port();
    spare_port_ = free_port();
    interserver_port_ = free_port();
}

ClickHouseServer::~ClickHouseServer() {
    kill();  // its data goes with it: no need to wait for a clean stop
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string ClickHouseServer::url() const {
    return "http://127.0.0.1:" + std::to_string(http_port_) + "/";
}

bool ClickHouseServer::start(std::string& error) {
    if (killed_) {
        // A SIGKILL mid-insert can leave a part that ZooKeeper never
        // recorded (the insert was not acknowledged); 18.x refuses to attach
        // a table where such parts hold most rows unless told to set them aside.
        std::filesystem::create_directories(dir_ + "/data/flags");
        std::ofstream(dir_ + "/data/flags/force_restore_data");
        killed_ = false;
    }
    {
        std::ofstream config(dir_ + "/config.xml");
        config << "<?xml version=\"1.0\"?>\n<yandex>\n"
               << "  <logger><level>warning</level><log>" << dir_ << "/server.log</log><errorlog>" << dir_
               << "/error.log</errorlog></logger>\n"
               << "  <listen_host>127.0.0.1</listen_host>\n"
               << "  <timezone>UTC</timezone>\n"
               << "  <http_port>" << http_port_ << "</http_port>\n"
               << "  <tcp_port>" << tcp_port_ << "</tcp_port>\n"
               << "  <interserver_http_port>" << interserver_port_ << "</interserver_http_port>\n"
               << "  <interserver_http_host>127.0.0.1</interserver_http_host>\n"
               << "  <path>" << dir_ << "/data/</path>\n"
               << "  <tmp_path>" << dir_ << "/tmp/</tmp_path>\n"
               << "  <user_files_path>" << dir_ << "/user_files/</user_files_path>\n"
               << "  <format_schema_path>" << dir_ << "/format_schemas/</format_schema_path>\n"
               << "  <users_config>users.xml</users_config>\n"
               << "  <default_profile>default</default_profile>\n"
               << "  <default_database>default</default_database>\n"
               << "  <mark_cache_size>16777216</mark_cache_size>\n"
               << "  <uncompressed_cache_size>0</uncompressed_cache_size>\n"
               << "  <max_concurrent_queries>20</max_concurrent_queries>\n"
               << extra_config_ << "</yandex>\n";
        std::ofstream users(dir_ + "/users.xml");
        users << "<?xml version=\"1.0\"?>\n<yandex>\n"
              << "  <profiles><default><log_queries>0</log_queries></default>" << extra_profiles_ << "</profiles>\n"
              << "  <users><default><password></password><networks><ip>127.0.0.1</ip></networks>"
              << "<profile>default</profile><quota>default</quota></default>" << extra_users_ << "</users>\n"
              << "  <quotas><default></default></quotas>\n</yandex>\n";
    }
    const std::string binary =
        access("/usr/sbin/clickhouse-server", X_OK) == 0 ? "/usr/sbin/clickhouse-server" : "clickhouse-server";
    const std::string config_arg = "--config-file=" + dir_ + "/config.xml";
    const std::string output = dir_ + "/output.log";
    pid_ = spawn_logged({binary.c_str(), config_arg.c_str(), nullptr}, output);
    if (pid_ <= 0) {
        error = "cannot start " + binary + " (is the clickhouse-server package installed?)";
        return false;
    }
    HttpPost http;
    std::string problem;
    for (int i = 0; i < kStartSeconds * 10; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            error = "clickhouse-server ended at start:\n" + log_tail();
            return false;
        }
        if (http.post(url(), "SELECT 1", problem)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    error = "clickhouse-server did not answer within " + std::to_string(kStartSeconds) + " s (" + problem +
            "):\n" + log_tail();
    kill();
    return false;
}

void ClickHouseServer::stop() {
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, SIGTERM);
    if (!reap(pid_, kStopSeconds)) {
        ::kill(pid_, SIGKILL);
        reap(pid_, kStopSeconds);
    }
    pid_ = -1;
}

void ClickHouseServer::kill() {
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, SIGKILL);
    reap(pid_, kStopSeconds);
    pid_ = -1;
    killed_ = true;
}

std::string ClickHouseServer::query(const std::string& sql) const {
    HttpPost http;
    std::string error;
    if (!http.post(url(), sql, error)) {
        return "ERROR: " + error;
    }
    std::string reply = http.reply();
    while (!reply.empty() && reply.back() == '\n') {
        reply.pop_back();
    }
    return reply;
}

std::string ClickHouseServer::log_tail() const {
    std::string text = read_file(dir_ + "/output.log") + read_file(dir_ + "/error.log");
    return text.size() > 4000 ? text.substr(text.size() - 4000) : text;
}

ZooKeeperServer::ZooKeeperServer() {
    char name[] = "/tmp/zookeeper-test-XXXXXX";
    dir_ = mkdtemp(name) != nullptr ? name : "/tmp";
    port_ = free_port();
    std::ofstream(dir_ + "/zoo.cfg") << "tickTime=500\ndataDir=" << dir_ << "/data\nclientPort=" << port_
                                     << "\nclientPortAddress=127.0.0.1\nadmin.enableServer=false\n";
    const std::string config = dir_ + "/zoo.cfg";
    pid_ = spawn_logged({"java", "-Xmx256m", "-cp", "/usr/share/java/zookeeper.jar",
                         "org.apache.zookeeper.server.ZooKeeperServerMain", config.c_str(), nullptr},
                        dir_ + "/output.log");
}

ZooKeeperServer::~ZooKeeperServer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        reap(pid_, kStopSeconds);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

}  // namespace kr::collector::test
