#pragma once
// What screen readers see of the panel's own widget classes, through Qt's accessibility bridge (AT-SPI
// on Linux): a TextLabel is static text named by its text; a DragRow is one list item named "title,
// detail", without children. The buttons and the brand image need nothing here: Qt's own interfaces
// carry their accessible names and checked states. Main thread only.

namespace cw {

// Installs the interfaces' factory; call once, before the first widget is made.
void installAccessibility();

} // namespace cw
