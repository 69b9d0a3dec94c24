#pragma once
#include <QString>

/// The one table of texts both deliverables use: ids 99-154 are the program's
/// user-visible messages, 513 and up the engine's error texts.
namespace MessageTable {
/// The text of `id`, exactly as stored (most end with one blank); empty when unknown.
QString Text(int id);
}
