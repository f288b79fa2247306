// The site menu as a small frameless window of the program's own, for Wayland: there a popup
// menu needs a parent surface and a grab that a tray icon cannot give, and the pointer's place
// is unknown. It works as the menu does (arrow keys, Enter, a click on an item; Escape closes)
// and closes on a choice and when it loses the focus. The compositor places it; its fixed size
// makes tiling compositors float it.
#pragma once

#include <QListWidget>
#include <QWidget>
#include <vector>

namespace sirano {

class SiteWindow final : public QWidget {
    Q_OBJECT
public:
    struct Item {
        int index = 0;
        QString text;     // as shown, already shortened
        QString toolTip;  // the whole title of a shortened caption
        bool separator = false;
    };

    SiteWindow();

    // Replaces the items, keeping the chosen row where it can.
    void setItems(const std::vector<Item>& items);
    // Shows and activates the window, the first item that can be chosen current.
    void open();

    const QListWidget& list() const { return list_; }

Q_SIGNALS:
    // The item's index; the window has closed.
    void chosen(int index);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void choose(const QListWidgetItem* item);
    void fitSize();
    void focusMoved(QWindow* focus);

    QListWidget list_;
    bool wasActive_ = false;
};

}  // namespace sirano
