#include "SpeechFixture.h"
#include "agent/PackageBuilder.h"
#include "trellis/MetaTypes.h"
#include "trellis/Paths.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QtMath>



SpeechFixture::SpeechFixture()
{
    RegisterTrellisMetaTypes();
    if (!m_dir.isValid())
        return;
    Paths::SetHome(m_dir.path());
    m_log = std::make_shared<Log>();
    if (!m_log->OpenFiles(path("mu.log"), path("short.log")))
        return;
    m_db = std::make_unique<Database>(m_dir.path(), qEnvironmentVariable("MURMELO_BUILD_DIR") + "/lib/MU.tdb");
    m_settings = std::make_unique<CSettings>();
    m_settings->Init(m_db.get(), m_log.get());
    QDir().mkpath(path("chars"));
    m_ok = WriteCharacter(path("chars/Tester.acs"));
}

SpeechFixture::~SpeechFixture()
{
    m_settings.reset();
    m_db.reset();
    Paths::SetHome(QString());
}

QString SpeechFixture::shortLog() const
{
    QFile f(path("short.log"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll());
}

QByteArray SpeechFixture::CharacterJson(const QString &name)
{
    return QByteArray(R"({
 "format": 1, "name": ")") + name.toUtf8() + R"(", "width": 100, "height": 120, "extraData": "Hi~~Hello^^x",
 "animations": {
  "RestPose": { "frames": [ { "image": "a.svg", "duration": 1000 } ] },
  "Show": { "frames": [ { "image": "m.svg", "duration": 30 } ], "return": "RestPose" },
  "Hide": { "frames": [ { "image": "a.svg", "duration": 30 } ] },
  "Wave": { "frames": [ { "image": "m.svg", "duration": 40 }, { "image": "a.svg", "duration": 40 } ] }
 },
 "speaking": { "base": "a.svg", "mouth": { "x": 40, "y": 70, "width": 20, "height": 10 },
               "shapes": { "closed": "m.svg", "open": "m.svg" } }
})";
}

bool SpeechFixture::WriteCharacter(const QString &file, const QString &name)
{
    const QByteArray svg = "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100\" "
                           "height=\"120\" viewBox=\"0 0 100 120\"><circle cx=\"50\" cy=\"60\" r=\"40\" "
                           "fill=\"#3366cc\"/></svg>\n";
    const QList<QPair<QString, QByteArray>> entries = {
        {"character.json", CharacterJson(name)}, {"a.svg", svg}, {"m.svg", svg}};
    return PackageBuilder::WriteZip(file, entries);
}

bool SpeechFixture::WriteWav(const QString &file, int ms)
{
    const int rate = 22050;
    const qint32 samples = qint32(qint64(rate) * ms / 1000);
    QFile f(file);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QDataStream out(&f);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + samples * 2);
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << quint16(1) << quint16(1) << quint32(rate) << quint32(rate * 2) << quint16(2)
        << quint16(16);
    out.writeRawData("data", 4);
    out << quint32(samples * 2);
    for (qint32 i = 0; i < samples; ++i)
        out << qint16(2000 * qSin(2 * M_PI * 440 * i / rate));
    return out.status() == QDataStream::Ok;
}
