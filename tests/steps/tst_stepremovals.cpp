#include "package/removallist.h"
#include "common/packagebuilder.h"
#include "steps/stepremovals.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

namespace {

const char *whyName(StepRemovals::Why why)
{
    switch (why) {
    case StepRemovals::Why::Changed:
        return "changed";
    case StepRemovals::Why::Link:
        return "link";
    case StepRemovals::Why::NotEmpty:
        return "not empty";
    case StepRemovals::Why::OtherType:
        return "other type";
    case StepRemovals::Why::Hidden:
        return "hidden";
    case StepRemovals::Why::Unreadable:
        return "unreadable";
    }
    return "?";
}

// Rows "file:path=bytes as the release shipped them" and "dir:path".
RemovalList makeList(const QStringList &rows)
{
    RemovalList list;
    for (const QString &row : rows) {
        if (row.startsWith(QLatin1String("dir:"))) {
            list.addDirectory(row.mid(4));
            continue;
        }
        const QString path = row.mid(5).section(QLatin1Char('='), 0, 0);
        const QByteArray bytes = row.section(QLatin1Char('='), 1).toUtf8();
        list.addFile(path, bytes.size(), QCryptographicHash::hash(bytes, QCryptographicHash::Sha256));
    }
    // Through the text, as the updater reads it.
    RemovalList parsed;
    if (!parsed.parse(list.toText()))
        qWarning() << parsed.errorString();
    return parsed;
}

QStringList keptRows(const StepRemovals::Result &result)
{
    QStringList rows;
    for (const StepRemovals::Kept &kept : result.kept)
        rows << QStringLiteral("%1: %2").arg(kept.path, QLatin1String(whyName(kept.why)));
    return rows;
}

} // namespace

// What one step's removal list does to an installation: each rule of the removal, on
// real files, with the dry run of --check giving the same account and changing nothing.
class TestStepRemovals : public QObject
{
    Q_OBJECT

private slots:
    void removes_data();
    void removes();
    void readOnlyFileIsRemoved();
    void unremovableFileFailsTheStep();
};

void TestStepRemovals::removes_data()
{
    QTest::addColumn<QStringList>("installed"); // PackageBuilder rows below the installation
    QTest::addColumn<QStringList>("links");     // "path>target", target relative to the test's root
    QTest::addColumn<QStringList>("list");
    QTest::addColumn<QStringList>("removed");
    QTest::addColumn<QStringList>("kept");
    QTest::addColumn<QStringList>("after");

    QTest::newRow("matching file removed") << QStringList{"plugins/old.dll=old", "plugins/new.dll=new"} << QStringList()
                                           << QStringList{"file:plugins/old.dll=old"} << QStringList{"plugins/old.dll"}
                                           << QStringList() << QStringList{"plugins/", "plugins/new.dll=new"};
    QTest::newRow("changed bytes kept") << QStringList{"docs/guide.txt=mine"} << QStringList()
                                        << QStringList{"file:docs/guide.txt=orig"} << QStringList()
                                        << QStringList{"docs/guide.txt: changed"}
                                        << QStringList{"docs/", "docs/guide.txt=mine"};
    QTest::newRow("changed size kept") << QStringList{"docs/guide.txt=my own notes"} << QStringList()
                                       << QStringList{"file:docs/guide.txt=orig", "dir:docs"} << QStringList()
                                       << QStringList{"docs/guide.txt: changed", "docs: not empty"}
                                       << QStringList{"docs/", "docs/guide.txt=my own notes"};
    QTest::newRow("absent file is nothing") << QStringList{"a.txt=a"} << QStringList()
                                            << QStringList{"file:gone.dll=x", "dir:gone", "file:gone/y.dll=y"}
                                            << QStringList() << QStringList() << QStringList{"a.txt=a"};
    QTest::newRow("emptied directories removed deepest first")
        << QStringList{"plugins/legacy/x.dll=x", "plugins/legacy/sub/y.dll=y", "plugins/keep.dll=k"} << QStringList()
        << QStringList{"dir:plugins/legacy", "dir:plugins/legacy/sub", "file:plugins/legacy/sub/y.dll=y",
                       "file:plugins/legacy/x.dll=x"}
        << QStringList{"plugins/legacy/sub/y.dll", "plugins/legacy/x.dll", "plugins/legacy/sub", "plugins/legacy"}
        << QStringList() << QStringList{"plugins/", "plugins/keep.dll=k"};
    QTest::newRow("directory with the user's own file stays")
        << QStringList{"docs/manual/a.html=a", "docs/manual/my-notes.txt=mine"} << QStringList()
        << QStringList{"dir:docs/manual", "file:docs/manual/a.html=a"} << QStringList{"docs/manual/a.html"}
        << QStringList{"docs/manual: not empty"} << QStringList{"docs/", "docs/manual/", "docs/manual/my-notes.txt=mine"};
    QTest::newRow("directory where a file was shipped") << QStringList{"tool/inner.txt=i"} << QStringList()
                                                        << QStringList{"file:tool=t"} << QStringList()
                                                        << QStringList{"tool: other type"}
                                                        << QStringList{"tool/", "tool/inner.txt=i"};
    QTest::newRow("file where a directory was shipped") << QStringList{"tool=t"} << QStringList() << QStringList{"dir:tool"}
                                                        << QStringList() << QStringList{"tool: other type"}
                                                        << QStringList{"tool=t"};
    // The links lead to files of the same bytes outside: removing through them would
    // delete what no backup holds.
    QTest::newRow("link itself left alone") << QStringList() << QStringList{"old.dll>outside/old.dll"}
                                            << QStringList{"file:old.dll=old"} << QStringList()
                                            << QStringList{"old.dll: link"} << QStringList{"old.dll -> ROOT/outside/old.dll"};
    QTest::newRow("link on the path left alone")
        << QStringList{"plugins/a.dll=a"} << QStringList{"plugins/ext>outside"}
        << QStringList{"dir:plugins/ext", "file:plugins/ext/old.dll=old", "file:plugins/a.dll=a"}
        << QStringList{"plugins/a.dll"} << QStringList{"plugins/ext/old.dll: link", "plugins/ext: link"}
        << QStringList{"plugins/", "plugins/ext -> ROOT/outside"};
    QTest::newRow("directory link left alone") << QStringList() << QStringList{"docs>outside"} << QStringList{"dir:docs"}
                                               << QStringList() << QStringList{"docs: link"}
                                               << QStringList{"docs -> ROOT/outside"};
}

void TestStepRemovals::removes()
{
    QFETCH(QStringList, installed);
    QFETCH(QStringList, links);
    QFETCH(QStringList, list);
    QFETCH(QStringList, removed);
    QFETCH(QStringList, kept);
    QFETCH(QStringList, after);
#ifdef Q_OS_WIN
    if (!links.isEmpty())
        QSKIP("symbolic links need privileges on Windows");
#endif
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString installDir = root.filePath(QStringLiteral("inst"));
    PackageBuilder installation(installDir);
    installation.dir(QString()).files(installed);
    PackageBuilder outside(root.filePath(QStringLiteral("outside")));
    outside.files({"old.dll=old", "docs/x=x"});
    for (const QString &link : links)
        installation.link(link.section(QLatin1Char('>'), 0, 0), root.filePath(link.section(QLatin1Char('>'), 1)));
    QVERIFY2(installation.ok() && outside.ok(), qPrintable(installation.error() + outside.error()));
    const RemovalList removals = makeList(list);
    QCOMPARE(removals.entries().size(), list.size());
    const QStringList before = PackageBuilder::snapshot(installDir);
    const QStringList outsideBefore = PackageBuilder::snapshot(root.filePath(QStringLiteral("outside")));

    // The dry run tells the same and changes nothing.
    StepRemovals dry(installDir);
    dry.setDryRun(true);
    StepRemovals::Result planned;
    QVERIFY(dry.apply(removals, &planned));
    QCOMPARE(planned.removed, removed);
    QCOMPARE(keptRows(planned), kept);
    QCOMPARE(PackageBuilder::snapshot(installDir), before);

    StepRemovals step(installDir);
    StepRemovals::Result result;
    QVERIFY2(step.apply(removals, &result), qPrintable(step.errorString()));
    QCOMPARE(result.removed, removed);
    QCOMPARE(keptRows(result), kept);
    QCOMPARE(PackageBuilder::snapshot(installDir).replaceInStrings(root.path(), QStringLiteral("ROOT")), after);
    QCOMPARE(PackageBuilder::snapshot(root.filePath(QStringLiteral("outside"))), outsideBefore);
}

void TestStepRemovals::readOnlyFileIsRemoved()
{
    // On Windows the read-only attribute would make the removal fail; it is cleared as
    // for a file being replaced.
    QTemporaryDir root;
    PackageBuilder installation(root.path());
    installation.files({"bin/old.dll=old"});
    QVERIFY(installation.ok());
    const QString file = root.filePath(QStringLiteral("bin/old.dll"));
    QVERIFY(QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
    StepRemovals step(root.path());
    StepRemovals::Result result;
    QVERIFY2(step.apply(makeList({"file:bin/old.dll=old", "dir:bin"}), &result), qPrintable(step.errorString()));
    QCOMPARE(result.removed, QStringList({"bin/old.dll", "bin"}));
    QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("bin"))));
}

void TestStepRemovals::unremovableFileFailsTheStep()
{
#ifdef Q_OS_WIN
    QSKIP("directory permissions are Unix ones");
#else
    if (::geteuid() == 0)
        QSKIP("root removes files from a read-only directory");
    QTemporaryDir root;
    PackageBuilder installation(root.path());
    installation.files({"bin/old.dll=old"});
    QVERIFY(installation.ok());
    const QString bin = root.filePath(QStringLiteral("bin"));
    QVERIFY(QFile::setPermissions(bin, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    StepRemovals step(root.path());
    StepRemovals::Result result;
    const bool applied = step.apply(makeList({"file:bin/old.dll=old"}), &result);
    QFile::setPermissions(bin, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QVERIFY(!applied);
    QVERIFY2(step.errorString().contains(QLatin1String("old.dll")), qPrintable(step.errorString()));
    QVERIFY(QFileInfo::exists(root.filePath(QStringLiteral("bin/old.dll"))));
#endif
}

QTEST_GUILESS_MAIN(TestStepRemovals)
#include "tst_stepremovals.moc"
