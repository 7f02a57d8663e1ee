#pragma once
// The user guide in a modal sheet over the main window: a header with the title and "Close", then the
// guide's blocks in one scrolling, selectable column. The guide is looked up, read and parsed each
// time a sheet is made; the sheet reads nothing of the model.

#include <QDialog>

class QTextBrowser;

namespace vantrel {

class HelpSheet : public QDialog {
    Q_OBJECT

public:
    static constexpr int minimumWidth = 560;
    static constexpr int minimumHeight = 480;
    static constexpr int idealWidth = 640;
    static constexpr int idealHeight = 620;

    explicit HelpSheet(QWidget* parent = nullptr);

    QTextBrowser& browser() const { return *m_browser; }
    // How many blocks the guide gave.
    std::size_t blockCount() const { return m_blockCount; }

private:
    QTextBrowser* m_browser = nullptr;
    std::size_t m_blockCount = 0;
};

} // namespace vantrel
