// One client connection of the stand-in: login, then requests until the client leaves.
#pragma once

#include "engine.h"
#include "wire.h"

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <memory>
#include <optional>
#include <set>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

struct ServerConfig {
    std::string dataDir;
    std::map<std::string, std::string> logins; // name -> password
    std::string defaultDatabase;
    long closeAfter = -1;          // requests answered before the connection is cut
    std::string closeOn;           // cut the connection when a request holds this text
    std::string closeAt;           // cut it in the answer, before the statement that holds this text
    long delayMs = 0;              // wait before each answer
    long rateBytes = 0;            // bytes a second the answers are sent at, as a slow link does; 0: unlimited
    std::string loginLog;          // file that gets each login's server-name field, in hex
    std::string requestLog;        // file that gets each SQL batch's text, a line each
    const tds::Collation *collation = &tds::defaultCollation(); // the server's, and every database's
    SSL_CTX *tls = nullptr;        // the server's certificate and key; nullptr: no encryption offered
    std::set<std::string> readOnlyLogins; // may read, but not change data or tables
    std::mutex loginLogLock;
    std::atomic<uint32_t> nextSpid{51};
};

class Session : private db::Sink {
public:
    Session(int fd, ServerConfig &cfg);
    ~Session();
    void run();

private:
    // Reading and writing whole messages.
    bool readMessage(uint8_t &type, std::string &payload);
    void flushPackets(bool final);
    // Sends every byte of the answer so far, the end of the message not marked.
    void flushUnfinished();
    // Writes to the client, no faster than the configured rate.
    bool send(const char *data, size_t size);
    void endMessage();
    // The socket's bytes, through TLS while it is on.
    bool receive(char *p, size_t n);
    bool transmit(const char *p, size_t n);
    // The TLS handshake, carried in PRELOGIN packets as TDS 7 does.
    bool tlsHandshake();
    void tlsOff();
    // A statement the login may not run: the server's refusal, else nothing.
    std::optional<db::SqlError> refusal(const std::string &stmt) const;

    bool prelogin(const std::string &payload);
    bool login(const std::string &payload);
    void sqlBatch(const std::string &payload);
    void rpc(const std::string &payload);
    void transactionRequest(const std::string &payload);
    bool runStatements(const std::string &sql, const std::vector<db::Param> &params, bool insideProc);
    bool useDatabase(const std::string &name, bool announce);
    void typeInfoResult(const std::string &stmt, bool more);

    // Tokens.
    void envChange(uint8_t type, const std::string &newValue, const std::string &oldValue);
    void errorToken(const db::SqlError &e);
    void doneToken(uint8_t token, uint16_t status, uint16_t curcmd, uint64_t rows);
    void typeInfo(const db::Column &c);
    const tds::Collation &collationOf(const db::Column &c) const;
    void value(const db::Column &c, const db::Value &v);
    void plp(const std::string &bytes);

    // db::Sink
    void columns(const std::vector<db::Column> &cols) override;
    void row(const std::vector<db::Column> &cols, const std::vector<db::Value> &values) override;
    void done(uint16_t curcmd, bool counted, uint64_t rows, bool more) override;
    void error(const db::SqlError &e) override;

    int fd;
    ServerConfig &cfg;
    SSL *ssl = nullptr;
    bool tlsOn = false;        // the session's bytes go through ssl
    bool tlsLoginOnly = false; // the client asked for the login alone to be encrypted
    bool readOnly = false;
    uint16_t spid;
    uint32_t packetSize = 4096;
    tds::Writer out;
    db::SessionOptions options; // before the database, which reads it
    std::unique_ptr<db::Database> database;
    bool inProc = false;
    bool failed = false;
    long requests = 0;
    std::map<int32_t, std::pair<std::string, std::string>> prepared; // handle -> (decls, stmt)
    int32_t nextHandle = 1;
    std::chrono::steady_clock::time_point linkFree{}; // when the paced link has sent what it was given
};
