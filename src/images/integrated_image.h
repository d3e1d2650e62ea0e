// The check run when an integrated image (".img") is chosen: its trailer, the extent of each
// component, its CSC part, and which components it carries.
#pragma once

#include <string>
#include <vector>

#include "images/image_layouts.h"

namespace varnel {

class CscView;

// The main-log line when the image cannot be opened.
inline constexpr const char* kIntegratedOpenFailedLine = "cIMGFile.Open Failed\r\n";

struct IntegratedImageCheck {
    bool ok = false;
    // The components the image carries (those of non-zero size), in ComponentKind order, when
    // ok. The window hides the controls of the kinds they stand in for.
    std::vector<ComponentKind> components;
};

// Opens the image, checks its sImageHeader and every component it carries (image_check.h), and
// parses its CSC part into the view.
IntegratedImageCheck ParseIntegratedImage(const std::string& path, CscView& view);

}  // namespace varnel
