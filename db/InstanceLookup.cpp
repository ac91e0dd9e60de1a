#include "InstanceLookup.h"

#include "core/Exceptions.h"

#include <QDeadlineTimer>
#include <QStringList>
#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kResendMs = 1000; // UDP may drop the question: it is asked again this often

[[noreturn]] void noAnswer(const QString &host, const QString &instance, const QString &why)
{
    throw Exception(QStringLiteral("The instance %1 of the database server %2 was not found: %3")
                        .arg(instance, host, why));
}

// SVR_RESP: 0x05, the length, then "ServerName;..;InstanceName;..;...;tcp;PORT;;" per instance.
int portIn(const QByteArray &answer, const QString &instance)
{
    if (answer.size() < 3 || answer[0] != '\x05')
        return 0;
    const QStringList fields = QString::fromLatin1(answer.mid(3)).split(u';');
    for (qsizetype i = 0; i + 1 < fields.size(); i += 2) {
        if (fields[i].compare(QLatin1String("InstanceName"), Qt::CaseInsensitive) != 0
            || fields[i + 1].compare(instance, Qt::CaseInsensitive) != 0)
            continue;
        for (qsizetype j = i + 2; j + 1 < fields.size() && !fields[j].isEmpty(); j += 2)
            if (fields[j].compare(QLatin1String("tcp"), Qt::CaseInsensitive) == 0)
                return fields[j + 1].toInt();
    }
    return 0;
}

} // namespace

int instancePort(const QString &host, const QString &instance, int timeoutMs, int browserPort)
{
    const QDeadlineTimer deadline(timeoutMs);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *found = nullptr;
    const QByteArray service = QByteArray::number(browserPort);
    if (const int rc = ::getaddrinfo(host.toUtf8().constData(), service.constData(), &hints, &found))
        noAnswer(host, instance, QString::fromLocal8Bit(gai_strerror(rc)));
    const int fd = ::socket(found->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool connected = fd >= 0 && ::connect(fd, found->ai_addr, found->ai_addrlen) == 0;
    ::freeaddrinfo(found);
    if (!connected) {
        if (fd >= 0)
            ::close(fd);
        noAnswer(host, instance, QStringLiteral("cannot reach its instance browser"));
    }
    // CLNT_UCAST_INST: 0x04 and the instance's name.
    const QByteArray question = '\x04' + instance.toLocal8Bit() + '\0';
    QString why = QStringLiteral("its instance browser did not answer within %1 seconds").arg(timeoutMs / 1000.0);
    int port = 0;
    while (!port && !deadline.hasExpired()) {
        if (::send(fd, question.constData(), size_t(question.size()), MSG_NOSIGNAL) < 0 && errno != EINTR) {
            why = QStringLiteral("its instance browser cannot be reached (%1)").arg(QString::fromLocal8Bit(strerror(errno)));
            break;
        }
        const QDeadlineTimer resend(std::min<qint64>(kResendMs, deadline.remainingTime()));
        while (!port && !resend.hasExpired()) {
            pollfd p{fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, int(resend.remainingTime()));
            if (ready <= 0)
                continue;
            char buf[4096];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n < 0 && errno == ECONNREFUSED) {
                ::close(fd);
                noAnswer(host, instance, QStringLiteral("no instance browser answers on it"));
            }
            if (n > 0) {
                port = portIn(QByteArray(buf, n), instance);
                if (!port) {
                    ::close(fd);
                    noAnswer(host, instance, QStringLiteral("its instance browser does not know that instance"));
                }
            }
        }
    }
    ::close(fd);
    if (port < 1 || port > 65535)
        noAnswer(host, instance, why);
    return port;
}
