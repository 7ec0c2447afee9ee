#pragma once

#include <QString>
#include <QVariantAnimation>
#include <QWidget>

#include <optional>

namespace sonorix {

// The display in the window's top bar: what is being done in one or two lines, the progress
// below them, and the logo while there is nothing to say.
class DisplayBar : public QWidget {
    Q_OBJECT
public:
    static constexpr int kFadeInMs = 300;
    static constexpr double kSmallestVisibleChange = 0.00001;

    explicit DisplayBar(QWidget* parent = nullptr);

    void showMessage(const QString& text, const QString& detail);
    void showProgress(std::optional<double> fraction);

    QString text() const { return m_text; }
    QString detail() const { return m_detail; }
    bool showsLogo() const { return m_text.isEmpty() && m_detail.isEmpty(); }
    std::optional<double> progress() const { return m_fraction; }
    double progressOpacity() const { return m_opacity; }
    // How often the bar asked to be repainted; a change too small to see asks for nothing.
    quint64 redrawRequests() const { return m_redrawRequests; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void redraw();
    void updateAccessibleDescription();

    QString m_text;
    QString m_detail;
    std::optional<double> m_fraction;
    double m_opacity = 0.0;
    QVariantAnimation m_fade;
    quint64 m_redrawRequests = 0;
    int m_spokenPercent = -1; // the percent in the accessible description, -1 without progress
};

} // namespace sonorix
