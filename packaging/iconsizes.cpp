// Build-time helper: writes the program's icon in the hicolor theme sizes.
//   democomm-iconsizes SOURCE.png OUTPUT-DIR SIZE...
// writes OUTPUT-DIR/<SIZE>x<SIZE>/apps/democomm.png for each SIZE. The source is pixel art:
// whole-number enlargements repeat pixels so its edges stay sharp; reductions are smoothed.
// Exit code 0 on success, 1 when the source cannot be read or a picture cannot be written,
// 2 for a bad command line.
#include <QDir>
#include <QImage>
#include <QString>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fputs("usage: democomm-iconsizes SOURCE.png OUTPUT-DIR SIZE...\n", stderr);
        return 2;
    }
    const QImage source(QString::fromLocal8Bit(argv[1]));
    if (source.isNull()) {
        std::fprintf(stderr, "democomm-iconsizes: cannot read %s\n", argv[1]);
        return 1;
    }
    const QDir out(QString::fromLocal8Bit(argv[2]));
    for (int i = 3; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        if (size <= 0 || size > 1024) {
            std::fprintf(stderr, "democomm-iconsizes: bad size '%s'\n", argv[i]);
            return 2;
        }
        const bool wholeEnlargement = size >= source.width() && size % source.width() == 0;
        const QImage picture =
            source.scaled(size, size, Qt::IgnoreAspectRatio,
                          wholeEnlargement ? Qt::FastTransformation : Qt::SmoothTransformation);
        const QString dir = QStringLiteral("%1x%1/apps").arg(size);
        const QString path = out.filePath(dir + QStringLiteral("/democomm.png"));
        if (!out.mkpath(dir) || !picture.save(path, "PNG")) {
            std::fprintf(stderr, "democomm-iconsizes: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
