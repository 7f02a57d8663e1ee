#pragma once
// The window that shows the preview controller's items. Rules for implementers: main thread only;
// showPreview never calls back into the controller before it returns; when the user closes the
// window, it calls the controller's endPanelControl.

namespace vantrel {

class PreviewPanel {
public:
    virtual ~PreviewPanel() = default;
    virtual bool isPanelVisible() const = 0;
    // Shows the controller's current items: a visible window reloads them, a hidden one opens in
    // front with them.
    virtual void showPreview() = 0;
    // Closes the window as the user would (so it ends the controller's control).
    virtual void closePanel() = 0;
};

} // namespace vantrel
