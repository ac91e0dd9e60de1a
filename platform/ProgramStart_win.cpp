#include "ProgramStart.h"

#include <QDir>
#include <windows.h>
#include <shellapi.h>

namespace {

// The shell's results up to 32: Windows' error codes, but for those of its own.
QString shellError(INT_PTR result)
{
    switch (result) {
    case 0: case SE_ERR_OOM: return QStringLiteral("the system is out of memory or resources");
    case SE_ERR_SHARE: return QStringLiteral("a sharing violation occurred");
    case SE_ERR_ASSOCINCOMPLETE: case SE_ERR_NOASSOC: return QStringLiteral("no program is associated with the file");
    case SE_ERR_DDETIMEOUT: case SE_ERR_DDEFAIL: case SE_ERR_DDEBUSY: return QStringLiteral("the shell's request failed");
    case SE_ERR_DLLNOTFOUND: return QStringLiteral("a library the program needs was not found");
    default: break;
    }
    wchar_t *text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   DWORD(result), 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    const QString why = text ? QString::fromWCharArray(text).trimmed() : QString();
    LocalFree(text);
    return why.isEmpty() ? QStringLiteral("error %1").arg(result) : why;
}

} // namespace

QString startProgram(const QString &path, const QString &parameters)
{
    const std::wstring file = QDir::toNativeSeparators(path).toStdWString();
    const std::wstring words = parameters.toStdWString();
    // No working directory: the program inherits the launcher's current one.
    const auto result = reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, L"open", file.c_str(), words.c_str(), nullptr, SW_SHOW));
    return result > 32 ? QString() : shellError(result);
}
