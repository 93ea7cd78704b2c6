#ifndef CONSOLE_H
#define CONSOLE_H

#include <QTextStream>

#include <cstdio>

// Standard output and error as UTF-8 text whatever the locale says. Qt 5 would encode a stream
// in the locale's codec (question marks under LANG=C) and read a plain char * as Latin-1, so
// the tools write only QString, through these.
inline QTextStream &consoleStream(FILE *file)
{
    auto make = [](FILE *f) {
        auto *stream = new QTextStream(f);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
        stream->setCodec("UTF-8");
#endif
        return stream;
    };
    static QTextStream *out = make(stdout);
    static QTextStream *err = make(stderr);
    return file == stderr ? *err : *out;
}

inline QTextStream &standardOutput() { return consoleStream(stdout); }
inline QTextStream &standardError() { return consoleStream(stderr); }

#endif // CONSOLE_H
