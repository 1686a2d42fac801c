#include "tools/corvane-package/packagetool.h"

#include "package/packagemanifest.h"
#include "package/packagesignature.h"
#include "package/packageverifier.h"
#include "package/trustedkeys.h"
#include "config/configbase.h"
#include "tools/corvane-package/inijson.h"
#include "tools/corvane-package/progressline.h"
#include "tools/corvane-package/releasepackager.h"
#include "layout/installlayout.h"

#include <QCommandLineParser>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {

const char kUsage[] =
    "usage: corvane-package <command> [options]\n"
    "\n"
    "  build   --release 3.2=DIR --release 3.3=DIR ... [--sql 3.3=FILE ...] --updater DIR --out DIR\n"
    "          writes an update package from the installed trees of consecutive releases\n"
    "  keygen  --secret-key FILE --trusted-keys FILE [--name NAME]\n"
    "          makes an Ed25519 key pair: the secret key file, and the public key added to a\n"
    "          trusted keys file (config/TRUSTED_KEYS.ini of an installation)\n"
    "  sign    --package DIR --secret-key FILE [--secret-key FILE ...]\n"
    "          writes package.manifest (every file, its size and SHA-256) and package.manifest.sig\n"
    "  verify  --package DIR [--trusted-keys FILE]\n"
    "          checks the manifest, every file and the signature, and lists every difference\n"
    "  layout  prints the installation's fixed names as one JSON object: \"reservedNames\" (never\n"
    "          backed up, restored or delivered at the top; \"name*\" stands for every name that\n"
    "          begins so), \"reservedFileNames\" (the same at every depth), \"database\" ...\n"
    "  ini write [--unmarked] FILE    < {\"group\": {\"key\": value}, \"group/key\": value, \"\": {...}}\n"
    "  ini write [--unmarked] --files < {\"FILE\": {...}, ...}\n"
    "          writes each FILE anew as the updater writes an INI file: with its markers, or\n"
    "          --unmarked as a registry key's file; \"\" holds top-level keys; values: strings,\n"
    "          numbers, true/false, arrays (string lists), null, \"@Point(1 2)\" (QSettings' @ form;\n"
    "          @@ for a leading @)\n"
    "  ini read FILE | ini read --files FILE...\n"
    "          prints {\"marked\": valid markers, \"keys\": {\"group/key\": value}} as the updater\n"
    "          reads the file (values as strings, arrays, null or @ forms); --files: {\"FILE\": ...},\n"
    "          {\"error\": text} for a file that cannot be read (exit status 2)\n"
    "\n"
    "Exit status: 0 done; 1 build: package written but the listed changes are not in it,\n"
    "verify: the package would be refused; 2 bad input or a failure.\n"
    "Run corvane-package <command> --help for a command's options.\n";

bool writeWhole(const QString &path, const QByteArray &bytes, QString *error, bool secret = false)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    if (secret)
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

// "VERSION=PATH" of --release and --sql.
bool splitPair(const QString &value, QString *version, QString *path)
{
    const int equals = value.indexOf(QLatin1Char('='));
    if (equals <= 0 || equals == value.size() - 1)
        return false;
    *version = value.left(equals);
    *path = value.mid(equals + 1);
    return true;
}

} // namespace

PackageTool::PackageTool(FILE *out, FILE *err)
    : m_out(out)
    , m_err(err)
{
}

void PackageTool::print(const QString &line)
{
    std::fprintf(m_out, "%s\n", line.toLocal8Bit().constData());
    std::fflush(m_out);
}

void PackageTool::error(const QString &line)
{
    std::fprintf(m_err, "corvane-package: %s\n", line.toLocal8Bit().constData());
    std::fflush(m_err);
}

int PackageTool::usage(const QString &message)
{
    if (!message.isEmpty())
        error(message);
    std::fputs(kUsage, message.isEmpty() ? m_out : m_err);
    return message.isEmpty() ? ExitSuccess : ExitFailure;
}

int PackageTool::run(const QStringList &arguments)
{
    if (arguments.size() < 2)
        return usage(QStringLiteral("no command given"));
    const QString command = arguments.at(1);
    QStringList rest = arguments.mid(2);
    rest.prepend(QStringLiteral("corvane-package %1").arg(command));
    if (command == QLatin1String("--help") || command == QLatin1String("-h") || command == QLatin1String("help"))
        return usage(QString());
    if (command == QLatin1String("build"))
        return build(rest);
    if (command == QLatin1String("layout"))
        return printLayout(rest);
    if (command == QLatin1String("ini"))
        return ini(rest);
    if (command == QLatin1String("keygen") || command == QLatin1String("sign") || command == QLatin1String("verify")) {
        if (!PackageSignature::isSupported()) {
            error(QStringLiteral("this build has no signature support (libsodium; CORVANE_SIGNATURES)"));
            return ExitFailure;
        }
        if (command == QLatin1String("keygen"))
            return keygen(rest);
        if (command == QLatin1String("sign"))
            return sign(rest);
        return verify(rest);
    }
    return usage(QStringLiteral("unknown command \"%1\"").arg(command));
}

int PackageTool::printLayout(const QStringList &arguments)
{
    if (arguments.size() > 1)
        return usage(QStringLiteral("layout takes no options"));
    const auto array = [](const QStringList &names) { return QJsonArray::fromStringList(names); };
    const QJsonObject layout{
        {QStringLiteral("reservedNames"), array(InstallLayout::reservedTopNames())},
        {QStringLiteral("reservedFileNames"), array(InstallLayout::reservedFileNames())},
        {QStringLiteral("database"), InstallLayout::databaseName()},
        {QStringLiteral("databaseJournals"), array(InstallLayout::databaseJournalNames())},
        {QStringLiteral("keptDatabasePattern"), InstallLayout::keptDatabasePattern()},
        {QStringLiteral("backup"), InstallLayout::backupDirName()},
        {QStringLiteral("flagFile"), InstallLayout::flagFileRelative()},
        {QStringLiteral("lockFile"), InstallLayout::lockFileName()},
        {QStringLiteral("packageRoot"), InstallLayout::packageRootName()},
    };
    std::fprintf(m_out, "%s\n", QJsonDocument(layout).toJson(QJsonDocument::Compact).constData());
    std::fflush(m_out);
    return ExitSuccess;
}

int PackageTool::ini(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Writes (keys as JSON on standard input) or reads INI files "
                                                    "as the updater does."));
    parser.addHelpOption();
    const QCommandLineOption filesOption(QStringLiteral("files"),
                                         QStringLiteral("Several files: write takes {\"FILE\": keys, ...}, read "
                                                        "prints {\"FILE\": ..., ...}."));
    const QCommandLineOption unmarkedOption(QStringLiteral("unmarked"),
                                            QStringLiteral("write: no markers, as the updater writes a registry "
                                                           "key's file."));
    parser.addOptions({filesOption, unmarkedOption});
    parser.addPositionalArgument(QStringLiteral("write|read"), QStringLiteral("What to do."));
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The file (several with read --files)."));
    if (!parser.parse(arguments))
        return usage(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        print(parser.helpText());
        return ExitSuccess;
    }
    QStringList paths = parser.positionalArguments();
    const QString action = paths.isEmpty() ? QString() : paths.takeFirst();
    const bool files = parser.isSet(filesOption);
    if (action == QLatin1String("write")) {
        if (files ? !paths.isEmpty() : paths.size() != 1)
            return usage(QStringLiteral("ini write takes one FILE or --files"));
        return iniWrite(files, !parser.isSet(unmarkedOption), paths);
    }
    if (action == QLatin1String("read")) {
        if (parser.isSet(unmarkedOption) || (files ? paths.isEmpty() : paths.size() != 1))
            return usage(QStringLiteral("ini read takes one FILE, or --files and one or more"));
        return iniRead(files, paths);
    }
    if (action.isEmpty())
        return usage(QStringLiteral("ini needs write or read"));
    return usage(QStringLiteral("ini takes write or read, not \"%1\"").arg(action));
}

int PackageTool::iniWrite(bool files, bool marked, const QStringList &paths)
{
    QFile in;
    QByteArray input;
    if (in.open(stdin, QIODevice::ReadOnly))
        input = in.readAll();
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(input, &parseError);
    if (!document.isObject()) {
        error(QStringLiteral("standard input is no JSON object: %1").arg(parseError.errorString()));
        return ExitFailure;
    }
    QJsonObject byFile = document.object();
    if (!files)
        byFile = QJsonObject{{paths.constFirst(), byFile}};
    IniJson writer;
    for (auto it = byFile.constBegin(); it != byFile.constEnd(); ++it) {
        if (!it.value().isObject()) {
            error(QStringLiteral("the keys of %1 are no JSON object").arg(it.key()));
            return ExitFailure;
        }
        if (!writer.write(it.key(), it.value().toObject(), marked)) {
            error(writer.errorString());
            return ExitFailure;
        }
    }
    return ExitSuccess;
}

int PackageTool::iniRead(bool files, const QStringList &paths)
{
    IniJson reader;
    QJsonObject byFile;
    QJsonObject one;
    bool failed = false;
    for (const QString &path : paths) {
        if (!reader.read(path, &one)) {
            error(reader.errorString());
            // The other files are still read: a script judging a damaged installation
            // wants every file it can get.
            one = QJsonObject{{QStringLiteral("error"), reader.errorString()}};
            failed = true;
        }
        byFile.insert(path, one);
    }
    if (!files && failed)
        return ExitFailure;
    const QJsonDocument document(files ? byFile : one);
    std::fprintf(m_out, "%s\n", document.toJson(QJsonDocument::Compact).constData());
    std::fflush(m_out);
    return failed ? ExitFailure : ExitSuccess;
}

int PackageTool::build(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Writes an update package from installed release trees."));
    parser.addHelpOption();
    const QCommandLineOption releaseOption(QStringLiteral("release"),
                                           QStringLiteral("An installed tree of a release, e.g. 3.3=/srv/rel/3.3 (twice or more)."),
                                           QStringLiteral("VERSION=DIR"));
    const QCommandLineOption sqlOption(QStringLiteral("sql"),
                                       QStringLiteral("The SQL script of the step that ends at VERSION."),
                                       QStringLiteral("VERSION=FILE"));
    const QCommandLineOption updaterOption(QStringLiteral("updater"),
                                           QStringLiteral("The updater's folder as \"cmake --install\" laid it out."),
                                           QStringLiteral("DIR"));
    const QCommandLineOption outOption(QStringLiteral("out"), QStringLiteral("The package directory to write (new or empty)."),
                                       QStringLiteral("DIR"));
    parser.addOptions({releaseOption, sqlOption, updaterOption, outOption});
    if (!parser.parse(arguments))
        return usage(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        print(parser.helpText());
        return ExitSuccess;
    }
    if (!parser.positionalArguments().isEmpty())
        return usage(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().constFirst()));

    ReleasePackager packager;
    QString version;
    QString path;
    for (const QString &value : parser.values(releaseOption)) {
        if (!splitPair(value, &version, &path))
            return usage(QStringLiteral("--release takes VERSION=DIR, not \"%1\"").arg(value));
        packager.addRelease(version, path);
    }
    for (const QString &value : parser.values(sqlOption)) {
        if (!splitPair(value, &version, &path))
            return usage(QStringLiteral("--sql takes VERSION=FILE, not \"%1\"").arg(value));
        packager.setScript(version, path);
    }
    packager.setUpdaterDir(parser.value(updaterOption));
    packager.setOutputDir(parser.value(outOption));
    packager.setProgress([this](const QString &stage) { print(stage); });
    if (!packager.build()) {
        error(packager.errorString());
        return ExitFailure;
    }
    for (const QString &line : packager.summary())
        print(QStringLiteral("  %1").arg(line));
    const QStringList losses = packager.losses();
    for (const QString &line : losses)
        print(QStringLiteral("  cannot express  %1").arg(line));
    if (!losses.isEmpty()) {
        print(QStringLiteral("Package written to %1, but %2 change(s) between the releases are not in it (listed above).")
                  .arg(parser.value(outOption))
                  .arg(losses.size()));
        return ExitFindings;
    }
    print(QStringLiteral("Package written to %1.").arg(parser.value(outOption)));
    return ExitSuccess;
}

int PackageTool::keygen(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Makes an Ed25519 key pair for signing packages."));
    parser.addHelpOption();
    const QCommandLineOption secretOption(QStringLiteral("secret-key"),
                                          QStringLiteral("The secret key file to write (must not exist; keep it safe)."),
                                          QStringLiteral("FILE"));
    const QCommandLineOption trustedOption(QStringLiteral("trusted-keys"),
                                           QStringLiteral("The trusted keys file to add the public key to (created if "
                                                          "missing); ships as config/TRUSTED_KEYS.ini."),
                                           QStringLiteral("FILE"));
    const QCommandLineOption nameOption(QStringLiteral("name"), QStringLiteral("The key's name (default vendor-<date>)."),
                                        QStringLiteral("NAME"));
    parser.addOptions({secretOption, trustedOption, nameOption});
    if (!parser.parse(arguments))
        return usage(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        print(parser.helpText());
        return ExitSuccess;
    }
    const QString secretPath = parser.value(secretOption);
    const QString trustedPath = parser.value(trustedOption);
    if (secretPath.isEmpty() || trustedPath.isEmpty())
        return usage(QStringLiteral("keygen needs --secret-key and --trusted-keys"));
    const QString name = parser.isSet(nameOption)
        ? parser.value(nameOption)
        : QStringLiteral("vendor-%1").arg(QDate::currentDate().toString(Qt::ISODate));
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) || name.contains(QLatin1Char('=')))
        return usage(QStringLiteral("--name: \"%1\" cannot be a key name").arg(name));
    if (QFileInfo::exists(secretPath)) {
        error(QStringLiteral("%1 exists; a secret key is never overwritten").arg(secretPath));
        return ExitFailure;
    }
    if (QFileInfo::exists(trustedPath)) {
        const TrustedKeys existing = TrustedKeys::fromFile(trustedPath);
        if (existing.state() != TrustedKeys::State::Trusted) {
            error(QStringLiteral("%1 is not a trusted keys file: %2").arg(trustedPath, existing.errorString()));
            return ExitFailure;
        }
        if (ConfigBase(trustedPath, ConfigBase::Access::ReadOnly).allKeys().contains(QStringLiteral("KEYS/%1").arg(name))) {
            error(QStringLiteral("%1 already holds a key named %2").arg(trustedPath, name));
            return ExitFailure;
        }
    }

    QByteArray publicKey;
    QByteArray secretKey;
    QString message;
    if (!PackageSignature::generateKeyPair(&publicKey, &secretKey)) {
        error(QStringLiteral("libsodium could not make a key pair"));
        return ExitFailure;
    }
    if (!writeWhole(secretPath, PackageSignature::secretKeyText(secretKey), &message, true)) {
        error(message);
        return ExitFailure;
    }
    {
        ConfigBase trusted(trustedPath);
        trusted.setValue(QStringLiteral("%1/%2").arg(QLatin1String(TrustedKeys::kGroup), name),
                         QString::fromLatin1(publicKey.toHex()));
        if (!trusted.save()) {
            error(QStringLiteral("cannot write %1").arg(trustedPath));
            return ExitFailure;
        }
    }
    // The file ships as it is; its backup from this save does not.
    QFile::remove(trustedPath + QStringLiteral(".bak"));
    print(QStringLiteral("secret key    %1 (keep it secret: whoever holds it can sign packages)").arg(secretPath));
    print(QStringLiteral("public key    %1 = %2").arg(name, QString::fromLatin1(publicKey.toHex())));
    print(QStringLiteral("trusted keys  %1 (install it as config/%2)").arg(trustedPath, QLatin1String(TrustedKeys::kFileName)));
    return ExitSuccess;
}

int PackageTool::sign(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Writes a package's manifest and signs it."));
    parser.addHelpOption();
    const QCommandLineOption packageOption(QStringLiteral("package"), QStringLiteral("The package directory."),
                                           QStringLiteral("DIR"));
    const QCommandLineOption secretOption(QStringLiteral("secret-key"),
                                          QStringLiteral("A secret key file from keygen (once or more)."),
                                          QStringLiteral("FILE"));
    parser.addOptions({packageOption, secretOption});
    if (!parser.parse(arguments))
        return usage(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        print(parser.helpText());
        return ExitSuccess;
    }
    const QString packageDir = parser.value(packageOption);
    if (packageDir.isEmpty() || parser.values(secretOption).isEmpty())
        return usage(QStringLiteral("sign needs --package and --secret-key"));
    QList<QByteArray> secretKeys;
    QString message;
    for (const QString &path : parser.values(secretOption)) {
        QByteArray key;
        if (!PackageSignature::readSecretKey(path, &key, &message)) {
            error(message);
            return ExitFailure;
        }
        secretKeys.append(key);
    }
    if (!QFileInfo(QDir(packageDir).filePath(QStringLiteral("version.ini"))).isFile()
        || !QFileInfo(QDir(packageDir).filePath(QStringLiteral("application"))).isDir()) {
        error(QStringLiteral("%1 is not an update package (no version.ini or application/)").arg(packageDir));
        return ExitFailure;
    }

    PackageManifest manifest;
    {
        ProgressLine progress(m_err);
        if (!manifest.scan(packageDir, [&progress](qint64 done, qint64 total) {
                progress.update(QStringLiteral("hashing"), done, total);
            })) {
            progress.finish();
            error(manifest.errorString());
            return ExitFailure;
        }
    }
    const QByteArray text = manifest.toText();
    PackageSignature signature;
    for (const QByteArray &key : qAsConst(secretKeys)) {
        PackageSignature::Signature one;
        if (!PackageSignature::sign(text, key, &one)) {
            error(QStringLiteral("signing failed"));
            return ExitFailure;
        }
        signature.append(one);
    }
    if (!writeWhole(QDir(packageDir).filePath(QLatin1String(PackageManifest::kFileName)), text, &message)
        || !writeWhole(QDir(packageDir).filePath(QLatin1String(PackageManifest::kSignatureName)), signature.toText(),
                       &message)) {
        error(message);
        return ExitFailure;
    }
    print(QStringLiteral("manifest   %1: %2 files, %3 bytes")
              .arg(QDir(packageDir).filePath(QLatin1String(PackageManifest::kFileName)))
              .arg(manifest.entries().size())
              .arg(manifest.totalSize()));
    for (const PackageSignature::Signature &one : signature.signatures())
        print(QStringLiteral("signature  %1: key %2")
                  .arg(QDir(packageDir).filePath(QLatin1String(PackageManifest::kSignatureName)),
                       QString::fromLatin1(one.publicKey.toHex())));
    return ExitSuccess;
}

int PackageTool::verify(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Checks a package against its manifest and signature."));
    parser.addHelpOption();
    const QCommandLineOption packageOption(QStringLiteral("package"), QStringLiteral("The package directory."),
                                           QStringLiteral("DIR"));
    const QCommandLineOption trustedOption(QStringLiteral("trusted-keys"),
                                           QStringLiteral("The keys to accept, as an installation's "
                                                          "config/TRUSTED_KEYS.ini holds them."),
                                           QStringLiteral("FILE"));
    parser.addOptions({packageOption, trustedOption});
    if (!parser.parse(arguments))
        return usage(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        print(parser.helpText());
        return ExitSuccess;
    }
    const QString packageDir = parser.value(packageOption);
    if (packageDir.isEmpty())
        return usage(QStringLiteral("verify needs --package"));
    if (!QFileInfo(packageDir).isDir()) {
        error(QStringLiteral("%1 is not a directory").arg(packageDir));
        return ExitFailure;
    }
    TrustedKeys keys;
    if (parser.isSet(trustedOption)) {
        if (!QFileInfo(parser.value(trustedOption)).isFile()) {
            error(QStringLiteral("%1 is not a file").arg(parser.value(trustedOption)));
            return ExitFailure;
        }
        keys = TrustedKeys::fromFile(parser.value(trustedOption));
    }

    PackageVerifier::Result result;
    {
        ProgressLine progress(m_err);
        result = PackageVerifier::verify(packageDir, keys, [&progress](qint64 done, qint64 total) {
            progress.update(QStringLiteral("hashing"), done, total);
        });
    }
    print(QStringLiteral("signature  %1").arg(result.signatureText));
    if (result.hasManifest)
        print(QStringLiteral("manifest   %1 files, %2 bytes").arg(result.fileCount).arg(result.byteCount));
    for (const QString &problem : qAsConst(result.problems)) {
        if (problem != result.signatureText)
            print(QStringLiteral("  PROBLEM  %1").arg(problem));
    }
    if (!result.hasManifest && result.accepted()) {
        print(QStringLiteral("The package has no manifest: nothing to verify."));
        return ExitFindings;
    }
    if (!result.accepted()) {
        print(QStringLiteral("Refused: %1 problem(s).").arg(result.problems.size()));
        return ExitFindings;
    }
    print(QStringLiteral("Verified: every file matches the manifest."));
    return ExitSuccess;
}
