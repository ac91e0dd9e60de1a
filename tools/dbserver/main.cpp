// vesk-dbserver: a small SQL Server stand-in on loopback for the launcher's tests and demo.
#include "session.h"

#include <arpa/inet.h>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <set>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

volatile sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }

const char *usage =
    "usage: vesk-dbserver --data DIR [options]\n"
    "  --port N              listen on 127.0.0.1:N (0: any free port; default 1433);\n"
    "                        the port is printed on stdout once the server listens\n"
    "  --data DIR            folder of the databases, one NAME.sqlite file each\n"
    "  --database NAME       make sure database NAME exists (repeatable; the first is the default)\n"
    "  --login NAME:PASSWORD accept this login (repeatable)\n"
    "  --script FILE         run the T-SQL statements of FILE at start (USE and GO understood)\n"
    "  --close-after N       cut each connection when request N+1 arrives\n"
    "  --close-on TEXT       cut a connection when a request holds TEXT\n"
    "  --close-at TEXT       cut it in the middle of an answer: after the results of the statements\n"
    "                        before the first one that holds TEXT\n"
    "  --delay MS            wait MS milliseconds before each answer, the prelogin's and the\n"
    "                        login's included, as a link's round trip does\n"
    "  --rate BYTES          send answers at most BYTES a second, as over a slow link\n"
    "  --address A           listen on the IPv4 address A instead of 127.0.0.1 (an address of a\n"
    "                        test's own network namespace)\n"
    "  --collation NAME      the server's collation, announced at login and taken by every text\n"
    "                        column without its own: Chinese_PRC_CI_AS (the default, code page 936),\n"
    "                        Latin1_General_CI_AS or SQL_Latin1_General_CP1_CI_AS (1252),\n"
    "                        Latin1_General_100_CI_AS_SC_UTF8 (UTF-8)\n"
    "  --tls-cert FILE       offer encryption with this certificate (PEM, its chain after it), as\n"
    "                        SQL Server does: the login alone encrypted unless the client asks for\n"
    "                        more; needs --tls-key\n"
    "  --tls-key FILE        the certificate's private key (PEM)\n"
    "  --read-only-login NAME  the login NAME (given by --login) may read but not change data or\n"
    "                        tables: SQL Server's permission errors answer the rest (repeatable)\n"
    "  --log-logins FILE     append each login's server-name field to FILE, as hex of its UTF-16LE bytes\n"
    "  --log-requests FILE   append each SQL batch's text to FILE, a line each\n"
    "  --exit-with-parent    end when the starting process ends\n";

[[noreturn]] void die(const std::string &msg)
{
    fprintf(stderr, "vesk-dbserver: %s\n", msg.c_str());
    exit(2);
}

long number(const char *opt, const char *v)
{
    char *end = nullptr;
    long n = std::strtol(v, &end, 10);
    if (!*v || *end || n < 0)
        die(std::string(opt) + " needs a non-negative number, not '" + v + "'");
    return n;
}

// Script statements report errors on stderr and stop the start.
class ScriptSink : public db::Sink {
public:
    bool ok = true;
    void columns(const std::vector<db::Column> &) override {}
    void row(const std::vector<db::Column> &, const std::vector<db::Value> &) override {}
    void done(uint16_t, bool, uint64_t, bool) override {}
    void error(const db::SqlError &e) override
    {
        fprintf(stderr, "vesk-dbserver: script: Msg %d: %s\n", e.number, e.text.c_str());
        ok = false;
    }
};

void runScript(const ServerConfig &cfg, const std::string &file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        die("cannot read script " + file);
    std::stringstream ss;
    ss << in.rdbuf();
    std::unique_ptr<db::Database> current;
    if (!cfg.defaultDatabase.empty())
        current = std::make_unique<db::Database>(cfg.dataDir + "/" + cfg.defaultDatabase + ".sqlite", cfg.defaultDatabase,
                                                 *cfg.collation);
    ScriptSink sink;
    for (const std::string &stmt : db::splitStatements(ss.str())) {
        if (const auto name = db::usedDatabase(stmt)) {
            std::string path = cfg.dataDir + "/" + *name + ".sqlite";
            if (!db::Database::exists(path))
                die("script " + file + ": database " + *name + " does not exist");
            current = std::make_unique<db::Database>(path, *name, *cfg.collation);
            continue;
        }
        if (!current)
            die("script " + file + ": no database");
        if (!current->exec(stmt, {}, sink, false))
            die("script " + file + " failed at: " + stmt.substr(0, 200));
    }
}

} // namespace

int main(int argc, char **argv)
{
    ServerConfig cfg;
    long port = 1433;
    std::vector<std::string> databases, scripts;
    bool withParent = false;
    std::string listenAddress, tlsCert, tlsKey;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> const char * {
            if (i + 1 >= argc)
                die(a + " needs a value\n" + usage);
            return argv[++i];
        };
        if (a == "--port") port = number("--port", next());
        else if (a == "--data") cfg.dataDir = next();
        else if (a == "--database") databases.push_back(next());
        else if (a == "--login") {
            std::string v = next();
            auto colon = v.find(':');
            if (colon == std::string::npos || colon == 0)
                die("--login takes NAME:PASSWORD");
            cfg.logins[v.substr(0, colon)] = v.substr(colon + 1);
        } else if (a == "--script") scripts.push_back(next());
        else if (a == "--close-after") cfg.closeAfter = number("--close-after", next());
        else if (a == "--close-on") cfg.closeOn = next();
        else if (a == "--close-at") cfg.closeAt = next();
        else if (a == "--delay") cfg.delayMs = number("--delay", next());
        else if (a == "--rate") cfg.rateBytes = number("--rate", next());
        else if (a == "--address") listenAddress = next();
        else if (a == "--log-logins") cfg.loginLog = next();
        else if (a == "--tls-cert") tlsCert = next();
        else if (a == "--tls-key") tlsKey = next();
        else if (a == "--read-only-login") cfg.readOnlyLogins.insert(next());
        else if (a == "--log-requests") cfg.requestLog = next();
        else if (a == "--collation") {
            const std::string name = next();
            cfg.collation = tds::findCollation(name);
            if (!cfg.collation)
                die("unknown collation " + name + "\n" + usage);
        }
        else if (a == "--exit-with-parent") withParent = true;
        else if (a == "--help" || a == "-h") { fputs(usage, stdout); return 0; }
        else die("unknown option " + a + "\n" + usage);
    }
    if (cfg.dataDir.empty())
        die(std::string("--data is required\n") + usage);
    if (port > 65535)
        die("--port must be at most 65535");
    if (tlsCert.empty() != tlsKey.empty())
        die("--tls-cert and --tls-key go together");
    if (!tlsCert.empty()) {
        // TLS 1.2 at most, as SQL Server speaks it inside TDS 7.
        cfg.tls = SSL_CTX_new(TLS_server_method());
        SSL_CTX_set_max_proto_version(cfg.tls, TLS1_2_VERSION);
        SSL_CTX_set_options(cfg.tls, SSL_OP_NO_TICKET);
        if (SSL_CTX_use_certificate_chain_file(cfg.tls, tlsCert.c_str()) != 1
            || SSL_CTX_use_PrivateKey_file(cfg.tls, tlsKey.c_str(), SSL_FILETYPE_PEM) != 1
            || SSL_CTX_check_private_key(cfg.tls) != 1) {
            char why[256];
            ERR_error_string_n(ERR_get_error(), why, sizeof why);
            die("cannot use the certificate " + tlsCert + " with the key " + tlsKey + ": " + why);
        }
    }
    for (const std::string &name : cfg.readOnlyLogins)
        if (!cfg.logins.count(name))
            die("--read-only-login " + name + " names no --login");
    if (withParent) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() == 1)
            return 0;
    }
    ::mkdir(cfg.dataDir.c_str(), 0755);
    for (auto &name : databases) {
        if (name.empty() || name.find('/') != std::string::npos)
            die("bad database name '" + name + "'");
        std::string path = cfg.dataDir + "/" + name + ".sqlite";
        try {
            if (!db::Database::exists(path))
                db::Database::create(path);
        } catch (const std::exception &e) {
            die(e.what());
        }
    }
    if (!databases.empty())
        cfg.defaultDatabase = databases.front();
    try {
        for (auto &s : scripts)
            runScript(cfg, s);
    } catch (const std::exception &e) {
        die(e.what());
    }

    int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!listenAddress.empty() && ::inet_pton(AF_INET, listenAddress.c_str(), &addr.sin_addr) != 1)
        die("--address needs an IPv4 address, not '" + listenAddress + "'");
    if (::bind(lfd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        die("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + strerror(errno));
    ::listen(lfd, 64);
    socklen_t len = sizeof addr;
    getsockname(lfd, reinterpret_cast<sockaddr *>(&addr), &len);
    printf("%d\n", ntohs(addr.sin_port));
    fflush(stdout);

    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::mutex mu;
    std::condition_variable cv;
    std::set<int> clients;
    while (!stopRequested) {
        pollfd p{lfd, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0)
            continue;
        int cfd = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (cfd < 0)
            continue;
        setsockopt(cfd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        {
            std::lock_guard<std::mutex> g(mu);
            clients.insert(cfd);
        }
        std::thread([cfd, &cfg, &mu, &cv, &clients] {
            {
                Session s(cfd, cfg);
                s.run();
            }
            std::lock_guard<std::mutex> g(mu);
            ::close(cfd);
            clients.erase(cfd);
            cv.notify_all();
        }).detach();
    }
    ::close(lfd);
    std::unique_lock<std::mutex> g(mu);
    for (int c : clients)
        ::shutdown(c, SHUT_RDWR);
    cv.wait_for(g, std::chrono::seconds(5), [&] { return clients.empty(); });
    return 0;
}
