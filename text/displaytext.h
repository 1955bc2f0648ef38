#pragma once

#include <QString>

// Text for a terminal: every control character (C0 with ESC, TAB and line breaks, DEL, C1) and
// every invisible or reordering one (as withVisibleControls) appears as "<U+001B>" and the like,
// so that stored text can neither start an escape sequence (retitle the window, clear the
// screen) nor break or reorder the line it is printed on.
QString forTerminal(const QString& text);
// Whether forTerminal() shows this UTF-16 unit as "<U+…>": a control character or an invisible or
// reordering one.
bool isShownAsCodePoint(char16_t unit);

// Text as a person is to read it: the characters that are invisible or reorder what follows them
// (U+200B-U+200F, U+202A-U+202E, U+2066-U+2069, U+FEFF) appear as "<U+202E>" and the like.
QString withVisibleControls(const QString& text);

// One CSV cell (RFC 4180): quoted when it holds a comma, a quote or a line break. A value a
// spreadsheet would take for a formula (one beginning with '=', '+', '-', '@', a tab or a carriage
// return) gets a leading apostrophe, which makes it text; so does one beginning with an apostrophe,
// so that csvFieldValue() gives every value back exactly.
QString csvField(const QString& value);
// The value a cell written by csvField() holds, once the CSV quoting is undone.
QString csvFieldValue(const QString& cell);
