#include "SpeechFixture.h"
#include "agent/PackageBuilder.h"

#include <QDataStream>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QtMath>

SpeechFixture::SpeechFixture()
{
    m_ready = TestHome::isValid() && settings() && WriteCharacter(path(QStringLiteral("chars/Tester.acs")));
}

bool SpeechFixture::WriteCharacter(const QString &file, const QString &name)
{
    const QByteArray json = R"({
 "format": 1, "name": ")" + name.toUtf8() + R"(", "width": 100, "height": 120, "extraData": "Hi~~Hello^^x",
 "animations": {
  "RestPose": { "frames": [ { "image": "a.svg", "duration": 1000 } ] },
  "Show": { "frames": [ { "image": "m.svg", "duration": 30 } ], "return": "RestPose" },
  "Hide": { "frames": [ { "image": "a.svg", "duration": 30 } ] },
  "Wave": { "frames": [ { "image": "m.svg", "duration": 40 }, { "image": "a.svg", "duration": 40 } ] }
 },
 "speaking": { "base": "a.svg", "mouth": { "x": 40, "y": 70, "width": 20, "height": 10 },
               "shapes": { "closed": "m.svg", "open": "m.svg" } }
})";
    QDir().mkpath(QFileInfo(file).absolutePath());
    return PackageBuilder::WriteZip(file, {{"character.json", json}, {"a.svg", PackageBuilder::Svg()}, {"m.svg", PackageBuilder::Svg()}});
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
    out << quint32(16) << quint16(1) << quint16(1) << quint32(rate) << quint32(rate * 2) << quint16(2) << quint16(16);
    out.writeRawData("data", 4);
    out << quint32(samples * 2);
    for (qint32 i = 0; i < samples; ++i)
        out << qint16(2000 * qSin(2 * M_PI * 440 * i / rate));
    return out.status() == QDataStream::Ok;
}
