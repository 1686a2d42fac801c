// corvane-package: builds, signs and verifies update packages (see PackageTool).
#include "tools/corvane-package/packagetool.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvane-package"));
    // The updater's parser traces every statement of a script it checks; the tool
    // reports its own findings instead.
    QLoggingCategory::setFilterRules(QStringLiteral("ZR_LOG.A.debug=false"));
    PackageTool tool(stdout, stderr);
    return tool.run(QCoreApplication::arguments());
}
