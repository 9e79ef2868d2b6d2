// SPDX-License-Identifier: GPL-3.0-or-later
#include "views/audition_controls.h"

#include "platform/settings.h"
#include "views/loop_menu.h"

#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSettings>

namespace kestrin::views {

AuditionControls::AuditionControls(LoopMenu& menu, QWidget* parent)
    : QWidget(parent), m_menu(menu) {
    setObjectName(QStringLiteral("auditionControls"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    QSettings s = KestrinSettings();
    auto makeBox = [&](const char* name, const QString& label, const QString& key,
                       const QString& description) {
        auto* text = new QLabel(label, this);
        auto* box = new QDoubleSpinBox(this);
        box->setObjectName(QLatin1String(name));
        box->setRange(0.1, 30.0);
        box->setDecimals(1);
        box->setSingleStep(0.1);
        box->setSuffix(tr(" s"));
        box->setValue(s.value(key, kAuditionSeconds).toDouble());
        box->setAccessibleName(QString(label).remove(u'&'));
        box->setToolTip(description);
        box->setAccessibleDescription(description);
        text->setBuddy(box);
        layout->addWidget(text);
        layout->addWidget(box);
        connect(box, &QDoubleSpinBox::valueChanged, this, &AuditionControls::changed);
        return box;
    };
    layout->addWidget(new QLabel(tr("Audition Seam (F7):"), this));
    m_before = makeBox("auditionBefore", tr("&before the stop"), QStringLiteral("audition/before"),
                       tr("Seconds Audition Seam plays up to the stop on each pass"));
    m_after = makeBox("auditionAfter", tr("a&fter the start"), QStringLiteral("audition/after"),
                      tr("Seconds Audition Seam plays from the start on each pass"));
    layout->addStretch(1);
    m_menu.setAuditionSpan(m_before->value(), m_after->value());
}

void AuditionControls::changed() {
    m_menu.setAuditionSpan(m_before->value(), m_after->value());
    QSettings s = KestrinSettings();
    s.setValue(QStringLiteral("audition/before"), m_before->value());
    s.setValue(QStringLiteral("audition/after"), m_after->value());
}

} // namespace kestrin::views
