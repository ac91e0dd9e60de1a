#include "InstanceLookup.h"

#include "core/Exceptions.h"

#include "db/Socket.h"

#include <QDeadlineTimer>
#include <QStringList>
#include <algorithm>

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
    Socket browser(host, browserPort, Socket::Kind::Datagram, deadline);
    if (!browser.ok())
        noAnswer(host, instance, browser.nameUnknown() ? browser.error() : QStringLiteral("cannot reach its instance browser"));
    // CLNT_UCAST_INST: 0x04 and the instance's name.
    const QByteArray question = '\x04' + instance.toLocal8Bit() + '\0';
    QString why = QStringLiteral("its instance browser did not answer within %1 seconds").arg(timeoutMs / 1000.0);
    int port = 0;
    while (!port && !deadline.hasExpired()) {
        if (!browser.send(question.constData(), size_t(question.size()), deadline)) {
            why = QStringLiteral("its instance browser cannot be reached (%1)").arg(browser.error());
            break;
        }
        const QDeadlineTimer resend(std::min<qint64>(kResendMs, deadline.remainingTime()));
        while (!port && !resend.hasExpired()) {
            char buf[4096];
            size_t n = 0;
            const Socket::Received r = browser.receive(buf, sizeof buf, n, resend);
            if (r == Socket::Received::Refused)
                noAnswer(host, instance, QStringLiteral("no instance browser answers on it"));
            if (r == Socket::Received::Data) {
                port = portIn(QByteArray(buf, qsizetype(n)), instance);
                if (!port)
                    noAnswer(host, instance, QStringLiteral("its instance browser does not know that instance"));
            }
        }
    }
    if (port < 1 || port > 65535)
        noAnswer(host, instance, why);
    return port;
}
