// The windows ask for the face names the program was designed with
// ("宋体", "細明體", "MS Sans Serif"); this maps each to fonts a Debian
// desktop has, the Ming/Song faces of fonts-arphic-uming first.
// REQUIRES: GUI thread, after the QApplication exists.
#pragma once

namespace rk::shell {

void map_face_names();

}  // namespace rk::shell
