#include "MessageBox.h"

namespace sirano {

QMessageBox::StandardButton WidgetMessageBox::show(QWidget* parent, QMessageBox::Icon icon,
                                                   const QString& title, const QString& text,
                                                   QMessageBox::StandardButtons buttons) {
    QMessageBox box(icon, title, text, buttons, parent);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

}  // namespace sirano
