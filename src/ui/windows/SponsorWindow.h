// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDialog>
#include <QImage>

// The voluntary sponsorship window: a payment code with a thank-you, or a heart where no code is
// installed. It changes nothing else. Made once by SecondaryWindows; main thread.
class SponsorWindow : public QDialog
{
    Q_OBJECT

public:
    explicit SponsorWindow(QWidget* parent = nullptr);

    // sponsor.jpg from the resources, the data folders (…/share/velmora) or a Resources folder up to
    // six levels above the program; a null image when none decodes.
    static QImage sponsorImage();
    // Whether the window shows the payment code (false: the heart).
    bool showsImage() const
    {
        return m_showsImage;
    }

private:
    bool m_showsImage = false;
};
