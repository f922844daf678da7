#pragma once

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>

// Runs a QtTest class with its own settings store, desktop and temporary folder, all inside a
// fresh temporary folder, and without the user's session bus: a test never sees or touches the
// user's own files, nor tells the user's desktop of its runs.
#define BQ_TEST_MAIN(TestClass)                                                         \
    int main(int argc, char* argv[]) {                                                  \
        QTemporaryDir home;                                                             \
        if (!home.isValid()) {                                                          \
            return 2;                                                                   \
        }                                                                               \
        QDir(home.path()).mkpath(QStringLiteral("config"));                             \
        QDir(home.path()).mkpath(QStringLiteral("tmp"));                                \
        qputenv("HOME", home.path().toUtf8());                                          \
        qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toUtf8()); \
        qputenv("TEMP", (home.path() + QStringLiteral("/tmp")).toUtf8());               \
        qputenv("TMPDIR", (home.path() + QStringLiteral("/tmp")).toUtf8());             \
        qputenv("XDG_RUNTIME_DIR", home.path().toUtf8());                               \
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");                                          \
        QApplication app(argc, argv);                                                   \
        TestClass test;                                                                 \
        return QTest::qExec(&test, argc, argv);                                         \
    }
