// The about box, and the tool's icon drawn in code (there are no image resources).
#pragma once

#include <QDialog>
#include <QIcon>
#include <QPixmap>
#include <string>

namespace varnel {

// The tool's icon at `size` pixels: a handset with a download arrow.
QPixmap DrawAppIcon(int size);
QIcon AppIcon();

class CAboutDlg : public QDialog {
    Q_OBJECT

  public:
    // `title` is the about-box string, `version` the title string shown in static 1083, `build`
    // the project version and the commit the program was built from.
    CAboutDlg(const std::string& title, const std::string& version, const std::string& build,
              QWidget* parent = nullptr);
};

}  // namespace varnel
