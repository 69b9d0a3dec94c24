#pragma once
// Small helpers the agent suites share: the characters they load and waiting for a request.
#include "PackageBuilder.h"
#include "agent/AgentCharacters.h"
#include "agent/AgentControl.h"
#include "agent/AgentRequest.h"

#include <QSignalSpy>
#include <QString>

/// The package the build made of a shipped character ("Merlin", "Robby").
inline QString shippedCharacter(const QString &name)
{
    return qEnvironmentVariable("MURMELO_BUILD_DIR") + QStringLiteral("/share/murmelo/chars/") + name
           + QStringLiteral(".acs");
}

/// The small test character (PackageBuilder::Character, made in `folder`) loaded into `control` as `id`.
inline AgentCharacter *loadTestCharacter(AgentControl &control, const QString &folder,
                                         const QString &id = QStringLiteral("c"))
{
    control.Characters()->Load(id, PackageBuilder::Character(folder));
    return control.Characters()->Item(id);
}

/// Waits up to `ms` for `r` to end (a nested event loop); whether it ended.
inline bool finished(const AgentRequestPtr &r, int ms = 20000)
{
    if (r->isDone())
        return true;
    QSignalSpy done(r.get(), &AgentRequest::finished);
    return done.wait(ms) || r->isDone();
}
