// A Qt SQL driver plug-in that someone planted: it claims the SQLite driver's key and,
// the moment a process loads it, appends that process's name to the file named by
// CORVANE_PLANTED_MARKER. The tests plant it where the updater must not look and check
// that the marker never appears.
#include <QCoreApplication>
#include <QFile>
#include <QSqlDriverPlugin>

namespace {

struct Marker
{
    Marker()
    {
        const QString path = qEnvironmentVariable("CORVANE_PLANTED_MARKER");
        if (path.isEmpty())
            return;
        QFile file(path);
        if (file.open(QIODevice::Append))
            file.write("planted Qt plug-in loaded\n");
    }
};

const Marker marker;

} // namespace

class PlantedSqlDriver : public QSqlDriverPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QSqlDriverFactoryInterface" FILE "plantedsqldriver.json")

public:
    QSqlDriver *create(const QString &) override { return nullptr; }
};

#include "plantedsqldriver.moc"
