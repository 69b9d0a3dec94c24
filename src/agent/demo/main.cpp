// murmelo-agent-demo: loads a character, shows it, plays each of its animations and
// speaks — the quickest way to see a character on the desktop.
#include "AgentBalloon.h"
#include "AgentCharacter.h"
#include "AgentCharacters.h"
#include "AgentCommands.h"
#include "AgentRequest.h"
#include "AgentWidgetsControl.h"
#include "CharacterWindow.h"
#include "trellis/MUError.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QScreen>
#include <QStandardPaths>
#include <QTextStream>

namespace {

QString findCharacter(const QString &nameOrFile)
{
    if (QFileInfo(nameOrFile).isFile())
        return nameOrFile;
    const QString file = nameOrFile + QStringLiteral(".acs");
    QStringList dirs{QCoreApplication::applicationDirPath() + QStringLiteral("/../share/murmelo/chars")};
    dirs << QStandardPaths::locateAll(QStandardPaths::GenericDataLocation, QStringLiteral("murmelo/chars"),
                                      QStandardPaths::LocateDirectory);
    for (const QString &dir : std::as_const(dirs)) {
        const QString path = QDir(dir).filePath(file);
        if (QFileInfo(path).isFile())
            return path;
    }
    return nameOrFile;   // the loader says what is wrong with it
}

QString greeting(const QString &extraData)
{
    const QStringList options = extraData.section(QStringLiteral("^^"), 0, 0).split(QStringLiteral("~~"),
                                                                                   Qt::SkipEmptyParts);
    if (options.isEmpty())
        return QStringLiteral("Hello");
    return options.at(QRandomGenerator::global()->bounded(int(options.size())));
}

} // namespace

int main(int argc, char **argv)
{
    CharacterWindow::preferPlaceableWindows();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("murmelo-agent-demo"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Shows a Murmelo character, plays its animations and speaks."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("character"), QStringLiteral("Name or .acs file (default Merlin)."));
    QCommandLineOption heightOpt(QStringLiteral("height"), QStringLiteral("Height in pixels."), QStringLiteral("N"),
                                 QStringLiteral("200"));
    QCommandLineOption textOpt(QStringLiteral("text"), QStringLiteral("What to say."), QStringLiteral("TEXT"));
    QCommandLineOption onlyOpt(QStringLiteral("only"), QStringLiteral("Play just these animations (comma list)."),
                               QStringLiteral("NAMES"));
    QCommandLineOption stayOpt(QStringLiteral("stay"), QStringLiteral("Stay on the desktop until Hide is chosen."));
    parser.addOptions({heightOpt, textOpt, onlyOpt, stayOpt});
    parser.process(app);

    const QString name = parser.positionalArguments().value(0, QStringLiteral("Merlin"));
    QTextStream out(stdout);
    QTextStream err(stderr);

    AgentWidgetsControl control;
    AgentCharacter *character = nullptr;
    try {
        control.Characters()->Load(QStringLiteral("demo"), findCharacter(name));
        character = control.Characters()->Item(QStringLiteral("demo"));
    } catch (const MUError &e) {
        err << "murmelo-agent-demo: " << e.description() << "\n";
        return 1;
    }
    character->setHeight(qBound(32, parser.value(heightOpt).toInt(), 1024));
    character->Balloon()->setFontSize(11);
    character->Commands()->Add(QStringLiteral("Hello"), QStringLiteral("Say &hello"), QStringLiteral("hello"));
    character->Commands()->Add(QStringLiteral("Wave"), QStringLiteral("&Wave"), QStringLiteral("wave"));
    const QRect screen = QApplication::primaryScreen()->availableGeometry();
    character->setLeft(screen.right() - character->Width() - 260);
    character->setTop(screen.bottom() - character->Height() - 40);

    QObject::connect(&control, &AgentControl::Command, &app, [character](const AgentUserInput &input) {
        if (input.Name == QLatin1String("Wave"))
            character->Play(QStringLiteral("Wave"));
        else
            character->Speak(greeting(character->ExtraData()) + QStringLiteral("!"));
    });
    QObject::connect(&control, &AgentControl::Move, &app, [&out](const QString &, int x, int y, int cause) {
        out << "Move to " << x << "," << y << " (cause " << cause << ")\n";
        out.flush();
    });

    QStringList animations = character->AnimationNames();
    if (parser.isSet(onlyOpt))
        animations = parser.value(onlyOpt).split(QLatin1Char(','), Qt::SkipEmptyParts);
    animations.removeAll(QStringLiteral("Show"));
    animations.removeAll(QStringLiteral("Hide"));
    animations.removeAll(QStringLiteral("RestPose"));

    const QString text = parser.isSet(textOpt)
                             ? parser.value(textOpt)
                             : greeting(character->ExtraData())
                                   + QStringLiteral("! I am %1. You have three new messages; the first is from "
                                                    "ann@example.com, about lunch.")
                                         .arg(character->Name());
    try {
        character->Show(false);
        for (const QString &anim : std::as_const(animations))
            character->Play(anim);
    } catch (const MUError &e) {
        err << "murmelo-agent-demo: " << e.description() << "\n";
        return 1;
    }
    character->Play(QStringLiteral("Greet"));
    AgentRequestPtr speech = character->Speak(text);
    QObject::connect(speech.get(), &AgentRequest::finished, &app, [&, speech] {
        out << "Speak ended with status " << speech->Status() << "\n";
        out.flush();
        if (parser.isSet(stayOpt))
            return;
        AgentRequestPtr hide = character->Hide(false);
        QObject::connect(hide.get(), &AgentRequest::finished, &app, [] { QApplication::quit(); });
    });
    QObject::connect(&control, &AgentControl::RequestStart, &app, [&out](AgentRequest *r) {
        out << "  " << r->detail().left(60) << "\n";
        out.flush();
    });
    return app.exec();
}
