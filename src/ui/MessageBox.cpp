#include "MessageBox.h"

#include <QAbstractButton>

namespace sirano {

QMessageBox::StandardButton WidgetMessageBox::show(QWidget* parent, QMessageBox::Icon icon,
                                                   const QString& title, const QString& text,
                                                   QMessageBox::StandardButtons buttons) {
    QMessageBox box(icon, title, text, buttons, parent);
    // Qt's own words would be English, beside the Japanese of every window.
    if (QAbstractButton* cancel = box.button(QMessageBox::Cancel))
        cancel->setText(QStringLiteral("ｷｬﾝｾﾙ"));
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

}  // namespace sirano
