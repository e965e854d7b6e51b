#include "shell/fonts.h"

#include <QFont>
#include <QStringList>

namespace rk::shell {

void map_face_names() {
    QFont::insertSubstitutions(QString::fromUtf8("宋体"),
                               {"AR PL UMing CN", "AR PL SungtiL GB", "WenQuanYi Zen Hei",
                                "Noto Serif CJK SC", "Noto Sans CJK SC"});
    QFont::insertSubstitutions(QString::fromUtf8("細明體"),
                               {"AR PL UMing TW", "AR PL UMing HK", "AR PL Mingti2L Big5",
                                "WenQuanYi Zen Hei", "Noto Serif CJK TC", "Noto Sans CJK TC"});
    QFont::insertSubstitutions("MS Sans Serif", {"DejaVu Sans", "Liberation Sans", "Noto Sans"});
}

}  // namespace rk::shell
