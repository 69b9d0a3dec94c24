#pragma once
#include <QString>

/// Turns an HTML document into the plain text a reader would see: scripts, styles
/// and the head are dropped, block elements become line breaks, entities are
/// decoded and runs of blanks collapse (except inside <pre>). QtCore only, so the
/// engine stays windowless. Reentrant.
namespace HtmlToText {
QString Convert(const QString &html);
/// Decodes one entity name or number ("amp", "#233", "#xE9"); empty when unknown.
QString DecodeEntity(const QString &entity);
}
