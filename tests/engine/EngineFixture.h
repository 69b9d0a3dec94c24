#pragma once
#include "engine/MUScripting.h"
#include "storage/AccountManager.h"
#include "trellis/Paths.h"
#include <QTemporaryDir>
#include <memory>

/// A fresh home folder and an engine started in it.
struct EngineFixture
{
    QTemporaryDir home;
    LogPtr log = std::make_shared<Log>();
    std::unique_ptr<MUScripting> engine;

    EngineFixture()
    {
        Paths::SetHome(home.path());
        log->OpenFiles(home.filePath("mu.log"), home.filePath("short.log"));
    }
    ~EngineFixture()
    {
        if (engine)
            engine->Finalize();
        engine.reset();
        Paths::SetHome(QString());
    }
    MUScripting &start()
    {
        engine = std::make_unique<MUScripting>();
        engine->Init(log, nullptr);
        return *engine;
    }
    QByteArray logText() const
    {
        QFile f(home.filePath("mu.log"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
};
