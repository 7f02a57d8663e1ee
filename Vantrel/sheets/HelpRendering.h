#pragma once
// How the help sheet draws the guide's blocks, as rich text for a text browser: the inline marks of
// a block's text (emphasis, strong text, code spans, links, strike-through) and each block's look.

#include "Vantrel/sheets/HelpDocument.h"

#include <QString>

#include <vector>

namespace vantrel::HelpRendering {

// One block's text as rich text. Inline marks only: "`code`", "**strong**" / "__strong__", "*emphasis*"
// / "_emphasis_", "~~struck~~", "[text](address)", and "\" before a punctuation mark to write it as is.
// A mark without its closing partner is plain text; every other character is escaped, so no markup
// of the text's own reaches the browser.
QString inlineHtml(const QString& text);

// The marker drawn before a list item: "3." for the third ordered item, "•" for an unordered one.
QString listMarker(const HelpDocument::Block& item);

// The whole guide as one rich-text document; secondaryColour is the colour of list markers (a name
// such as "#808080").
QString documentHtml(const std::vector<HelpDocument::Block>& blocks, const QString& secondaryColour);

} // namespace vantrel::HelpRendering
