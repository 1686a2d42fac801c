#ifndef VERSIONORDER_H
#define VERSIONORDER_H

#include <QString>

// The one order of the installation's versions, for the updater, the console program and
// the package tool alike: dotted decimal numbers compared part by part from the left, so
// 3.10 comes after 3.9 and 2.0 after 1.10. A missing part counts as 0 (3.4 is 3.4.0), and
// so does a part that is not a number or does not fit 32 bits. The texts themselves are
// shown as they are written; only their order comes from here.
class VersionOrder
{
public:
    // Negative, 0 or positive as a comes before, equals or comes after b.
    static int compare(const QString &a, const QString &b);
    static bool isNewer(const QString &candidate, const QString &than) { return compare(candidate, than) > 0; }
    // A release as the package tool takes one, "major.minor" of one to four digits each
    // (3.4); false for any other form.
    static bool parseRelease(const QString &text, int *major, int *minor);
};

#endif // VERSIONORDER_H
