#pragma once
// A throw-away home and an engine started in it (the engine keeps its database in the home).
#include "TestHome.h"
#include "engine/MUScripting.h"
#include <memory>

struct EngineFixture
{
    TestHome home;
    LogPtr log = home.log();
    std::unique_ptr<MUScripting> engine;

    ~EngineFixture()
    {
        if (engine)
            engine->Finalize();
        engine.reset();
    }
    MUScripting &start()
    {
        engine = std::make_unique<MUScripting>();
        engine->Init(log, nullptr);
        return *engine;
    }
    QByteArray logText() const { return home.logText().toUtf8(); }
};
