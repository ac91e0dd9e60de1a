// Where DovaDu.exe is rebuilt: written beside the old program and moved over it only when
// complete, so that a failure, a stop or a kill never costs the working program.
#pragma once

#include <QByteArray>
#include <QString>
#include <vector>

class ProgramFile {
public:
    // Takes the folder's lock (one upgrade at a time) and opens the temporary file; throws
    // "Cannot create file <path>" when either cannot be had.
    explicit ProgramFile(const QString &path);
    ~ProgramFile();
    ProgramFile(const ProgramFile &) = delete;
    ProgramFile &operator=(const ProgramFile &) = delete;

    // Writes the parts one after the other and moves the whole over the old program;
    // throws "Stream write error", leaving the old program, when anything fails.
    void write(const std::vector<QByteArray> &parts);

private:
    QString path;
    QString temporary;
    QByteArray encoded;
    int folder = -1;
    int fd = -1;
};
