#pragma once

#include <QString>
#include <QWidget>

#include <optional>

namespace sonorix {

class DisplayBar : public QWidget {
    Q_OBJECT
public:
    explicit DisplayBar(QWidget* parent = nullptr);
    void showMessage(const QString& text, const QString& detail);
    void showProgress(std::optional<double> fraction);
    QSize sizeHint() const override { return {360, 56}; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QString m_text;
    QString m_detail;
    std::optional<double> m_fraction;
};

} // namespace sonorix
