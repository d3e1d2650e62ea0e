// The check run when an integrated image (".img") is chosen: its trailer, the extent of each
// component, its CSC part, and which component controls of the window it hides.
#pragma once

#include <string>
#include <vector>

namespace varnel {

class CscView;

// The button and path box of each kind an integrated image can replace. Choosing such an image
// hides those of its components; deselecting it shows all ten.
inline constexpr int kIdcEbootButton = 1019, kIdcEbootPath = 1020;
inline constexpr int kIdcPdaButton = 1035, kIdcPdaPath = 1023;
inline constexpr int kIdcCscButton = 1037, kIdcCscPath = 1040;
inline constexpr int kIdcPhoneButton = 1036, kIdcPhonePath = 1026;
inline constexpr int kIdcTelvikButton = 1041, kIdcTelvikPath = 1042;
inline constexpr int kIntegratedComponentControls[] = {
    kIdcEbootButton, kIdcEbootPath,   kIdcPdaButton, kIdcPdaPath,      kIdcCscButton,
    kIdcCscPath,     kIdcPhoneButton, kIdcPhonePath, kIdcTelvikButton, kIdcTelvikPath};

struct IntegratedImageCheck {
    bool ok = false;
    std::vector<int> hiddenControls;  // control ids to hide, when ok
};

// Opens the image, checks its sImageHeader and components, parses its CSC part into the view.
IntegratedImageCheck ParseIntegratedImage(const std::string& path, CscView& view);

}  // namespace varnel
