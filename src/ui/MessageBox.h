// Message boxes behind one seam: widgets ask here, tests answer here.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QWidget>

namespace sirano {

class MessageBox {
public:
    virtual ~MessageBox() = default;
    // Shows a modal box and returns the button pressed.
    virtual QMessageBox::StandardButton show(QWidget* parent, QMessageBox::Icon icon,
                                             const QString& title, const QString& text,
                                             QMessageBox::StandardButtons buttons) = 0;
};

// The real thing: a QMessageBox run modally; "Cancel" reads "ｷｬﾝｾﾙ", as in the windows.
class WidgetMessageBox final : public MessageBox {
public:
    QMessageBox::StandardButton show(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                     const QString& text,
                                     QMessageBox::StandardButtons buttons) override;
};

}  // namespace sirano
