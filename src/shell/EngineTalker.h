#pragma once
class CTalker;

/// The engine's own talker when the engine has one (null otherwise: the program then
/// makes its own). Main thread.
template <typename Engine>
CTalker *EngineTalker(Engine *engine)
{
    if constexpr (requires { engine->talker(); })
        return engine->talker();
    else
        return nullptr;
}
