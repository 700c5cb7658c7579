#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

namespace quillet::test {

// The three port files, empty, in dir: a main window starts without them
// being a problem.
inline void WriteEmptyPortFiles(const QString& dir)
{
    for (const char* name : {"iana.txt", "predefs.txt", "trojans.txt"}) {
        QFile f(QDir(dir).filePath(QString::fromLatin1(name)));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
}

}  // namespace quillet::test
