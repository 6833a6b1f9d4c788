// How an operation that can fail went, the one convention of the whole program: ok, or
// what kind of failure, the system's error number when the system gave one, and a message
// that names what failed and why, ready for the user.
#pragma once

#include <QString>

struct Status
{
    enum Code {
        Ok = 0,
        Failed,  // the system or the data said no; `error` holds errno when the system did
        Refused, // not attempted: it would have written through a link, over a foreign file, ...
        Stopped, // the user (or a signal) asked to stop before it was done
    };

    Code code = Ok;
    int error = 0; // errno, or GetLastError() on Windows; 0 when the system gave no reason
    QString message;

    bool ok() const { return code == Ok; }
    explicit operator bool() const { return ok(); }

    static Status failure(int error, const QString &message) { return Status{Failed, error, message}; }
    static Status failure(const QString &message) { return Status{Failed, 0, message}; }
    static Status refused(const QString &message) { return Status{Refused, 0, message}; }
    static Status stopped(const QString &message = QString()) { return Status{Stopped, 0, message}; }
};

// The system's text for an error number (strerror on POSIX, FormatMessage on Windows):
// the one place errno becomes words.
QString systemErrorText(int error);
