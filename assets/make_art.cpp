// make_art.cpp - draws the panel's button faces and window icon.
//
// The pictures in this folder are generated; edit this file and run
// scripts/assets.sh rather than editing the pictures by hand. The tool is
// build/make-art (MATRIX_TOOLS=ON):
//
//   build/make-art [output-dir]
//
// The output directory defaults to "assets". Written files:
//   input_up.bmp, input_down.bmp         24-bit BMP, 68 x 68
//   output_up.bmp, output_down.bmp       24-bit BMP, 70 x 51
//   command16_up.jpg, command16_down.jpg JPEG, 70 x 70 (right-hand command)
//   command40_up.jpg, command40_down.jpg JPEG, 70 x 70 (left-hand command)
//   the same eight with "@2x" before the extension, at twice the size, for
//   screens of twice the density (136 x 136, 140 x 102, 140 x 140)
//   icon.ico                             32 x 32, 16 colours (4 bpp), the window icon
//   icon.png                             RGBA PNG, 32 x 32
//   icons/NxN.png                        RGBA PNG for the desktop's icon theme,
//                                        N = 16, 22, 24, 32, 48, 64, 128, 256
//   icons/scalable.svg                   the same drawing as SVG
// The build installs the icons/ files under the program's desktop name.
// Drawing is deterministic: the same Qt gives the same bytes, so a rebuild
// that changes a picture shows up in git.

#include <QByteArray>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QString>
#include <QSvgGenerator>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// ---------------------------------------------------------------------------
// Shared bevel helpers
// ---------------------------------------------------------------------------

// Colours of one bevelled face. "light" is the edge that catches the light
// (top and left on a raised face), "dark" the shaded edge.
struct Bevel
{
    QColor outline;
    QColor light;
    QColor dark;
};

// Fills a bevel ring of `width` pixels just inside `r` (which already sits
// inside the outline). Top/left take `topLeft`, bottom/right `bottomRight`;
// the diagonal corners are split cleanly with polygons.
void drawBevelRing(
    QPainter &p, const QRectF &r, qreal width, const QColor &topLeft, const QColor &bottomRight)
{
    const QPointF a = r.topLeft();
    const QPointF b = r.topRight();
    const QPointF c = r.bottomRight();
    const QPointF d = r.bottomLeft();
    const QPointF ia = a + QPointF(width, width);
    const QPointF ib = b + QPointF(-width, width);
    const QPointF ic = c + QPointF(-width, -width);
    const QPointF id = d + QPointF(width, -width);

    p.setPen(Qt::NoPen);
    p.setBrush(topLeft);
    p.drawPolygon(QPolygonF({ a, b, ib, ia })); // top
    p.drawPolygon(QPolygonF({ a, ia, id, d })); // left
    p.setBrush(bottomRight);
    p.drawPolygon(QPolygonF({ c, d, id, ic })); // bottom
    p.drawPolygon(QPolygonF({ c, ic, ib, b })); // right
}

// A rectangular bevelled plate filling the whole image: 1 px outline, a bevel
// ring, then the face filled with a vertical gradient.
QRectF drawSquarePlate(QPainter &p, const QSize &size, const Bevel &bv, qreal bevelWidth,
    const QColor &faceTop, const QColor &faceBottom, bool raised)
{
    const QRectF all(0, 0, size.width(), size.height());
    p.fillRect(all, bv.outline);
    const QRectF inner = all.adjusted(1, 1, -1, -1);
    if (raised)
        drawBevelRing(p, inner, bevelWidth, bv.light, bv.dark);
    else
        drawBevelRing(p, inner, bevelWidth, bv.dark, bv.light);

    const QRectF face = inner.adjusted(bevelWidth, bevelWidth, -bevelWidth, -bevelWidth);
    QLinearGradient g(face.topLeft(), face.bottomLeft());
    g.setColorAt(0.0, faceTop);
    g.setColorAt(1.0, faceBottom);
    p.fillRect(face, g);
    return face;
}

// Soft sheen over the upper part of a raised face.
void drawSheen(QPainter &p, const QRectF &face, int alpha)
{
    QLinearGradient g(face.topLeft(), QPointF(face.left(), face.top() + face.height() * 0.55));
    g.setColorAt(0.0, QColor(255, 255, 255, alpha));
    g.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.fillRect(QRectF(face.left(), face.top(), face.width(), face.height() * 0.55), g);
}

// Inner shadow along the top and left of a pressed face.
void drawInsetShadow(QPainter &p, const QRectF &face, int alpha, qreal depth)
{
    QLinearGradient top(face.topLeft(), face.topLeft() + QPointF(0, depth));
    top.setColorAt(0.0, QColor(0, 0, 0, alpha));
    top.setColorAt(1.0, QColor(0, 0, 0, 0));
    p.fillRect(QRectF(face.left(), face.top(), face.width(), depth), top);
    QLinearGradient left(face.topLeft(), face.topLeft() + QPointF(depth, 0));
    left.setColorAt(0.0, QColor(0, 0, 0, alpha * 2 / 3));
    left.setColorAt(1.0, QColor(0, 0, 0, 0));
    p.fillRect(QRectF(face.left(), face.top(), depth, face.height()), left);
}

bool saveImage(const QImage &img, const QString &path, const char *format, int quality = -1)
{
    if (!img.save(path, format, quality)) {
        std::fprintf(stderr, "make_art: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("wrote %s (%dx%d)\n", qPrintable(path), img.width(), img.height());
    return true;
}

// A face drawn at `scale` times its size in pixels. Painting on it is in the
// face's own pixels (the device pixel ratio scales the painter), so one
// drawing serves the ordinary picture and its "@2x" twin for high-density
// screens.
QImage faceCanvas(const QSize &size, int scale)
{
    QImage img(size * scale, QImage::Format_ARGB32_Premultiplied);
    img.setDevicePixelRatio(scale);
    return img;
}

bool saveBmp24(const QImage &img, const QString &path)
{
    return saveImage(img.convertToFormat(QImage::Format_RGB888), path, "BMP");
}

// ---------------------------------------------------------------------------
// Input buttons, 68 x 68
// ---------------------------------------------------------------------------

QImage inputFace(bool up, int scale)
{
    const QSize size(68, 68);
    QImage img = faceCanvas(size, scale);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, false);

    if (up) {
        const Bevel bv { QColor(0x17, 0x3f, 0x1b), QColor(0xb6, 0xf2, 0xb0),
            QColor(0x1e, 0x6b, 0x27) };
        const QRectF face = drawSquarePlate(
            p, size, bv, 3, QColor(0x74, 0xde, 0x6e), QColor(0x2c, 0xa4, 0x3a), true);
        // Slight inner glow in the middle of the lit face.
        QRadialGradient glow(face.center(), face.width() * 0.6);
        glow.setColorAt(0.0, QColor(0xd8, 0xff, 0xc8, 70));
        glow.setColorAt(1.0, QColor(0xd8, 0xff, 0xc8, 0));
        p.fillRect(face, glow);
        drawSheen(p, face, 80);
        // Fine separator line between sheen and face body.
        p.fillRect(QRectF(face.left(), face.top() + 1, face.width(), 1), QColor(255, 255, 255, 90));
    } else {
        const Bevel bv { QColor(0x3c, 0x3c, 0x3c), QColor(0xe8, 0xe8, 0xe8),
            QColor(0x6c, 0x6c, 0x6c) };
        const QRectF face = drawSquarePlate(
            p, size, bv, 3, QColor(0xa6, 0xa6, 0xa6), QColor(0xc2, 0xc2, 0xc2), false);
        drawInsetShadow(p, face, 60, 5);
    }
    p.end();
    return img;
}

// ---------------------------------------------------------------------------
// Output buttons, 70 x 51
// ---------------------------------------------------------------------------
//
// The program writes a bold red caption across the band y = 7..26, so the
// middle of the face is a pale recessed panel; the colour lives in the frame
// around it (green at the top, blue at the bottom) and in a thin strip below.

QImage outputFace(bool up, int scale)
{
    QImage img = faceCanvas(QSize(70, 51), scale);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, false);
    const QRectF all(0, 0, 70, 51);

    QColor outline, frameTop, frameBottom, bevelLight, bevelDark;
    QColor panelTop, panelBottom, panelEdgeDark, panelEdgeLight, stripTop, stripBottom;
    if (up) {
        outline = QColor(0x10, 0x2c, 0x44);
        frameTop = QColor(0x3c, 0xbc, 0x52);
        frameBottom = QColor(0x24, 0x62, 0xc4);
        bevelLight = QColor(0xbf, 0xf0, 0xc4);
        bevelDark = QColor(0x16, 0x3c, 0x86);
        panelTop = QColor(0xdc, 0xf5, 0xdc);
        panelBottom = QColor(0xd6, 0xe6, 0xfa);
        panelEdgeDark = QColor(0x1f, 0x74, 0x50);
        panelEdgeLight = QColor(0xf6, 0xfb, 0xff);
        stripTop = QColor(0x4f, 0x8f, 0xe6);
        stripBottom = QColor(0x1f, 0x55, 0xb0);
    } else {
        outline = QColor(0x3c, 0x3c, 0x3c);
        frameTop = QColor(0x9c, 0x9c, 0x9c);
        frameBottom = QColor(0x8a, 0x8a, 0x8a);
        bevelLight = QColor(0xe6, 0xe6, 0xe6);
        bevelDark = QColor(0x66, 0x66, 0x66);
        panelTop = QColor(0xc0, 0xc0, 0xc0);
        panelBottom = QColor(0xcc, 0xcc, 0xcc);
        panelEdgeDark = QColor(0x70, 0x70, 0x70);
        panelEdgeLight = QColor(0xdc, 0xdc, 0xdc);
        stripTop = QColor(0x90, 0x90, 0x90);
        stripBottom = QColor(0xa4, 0xa4, 0xa4);
    }

    p.fillRect(all, outline);
    const QRectF inner = all.adjusted(1, 1, -1, -1);
    QLinearGradient frame(inner.topLeft(), inner.bottomLeft());
    frame.setColorAt(0.0, frameTop);
    frame.setColorAt(0.70, frameTop);
    frame.setColorAt(0.80, frameBottom);
    frame.setColorAt(1.0, frameBottom);
    p.fillRect(inner, frame);

    // Two-pixel bevel around the frame: translucent so the green/blue shows.
    {
        QColor l = up ? bevelLight : bevelDark;
        QColor d = up ? bevelDark : bevelLight;
        l.setAlpha(up ? 200 : 230);
        d.setAlpha(up ? 170 : 230);
        drawBevelRing(p, inner, 2, l, d);
    }

    // Pale caption panel, recessed into the frame.
    const QRectF panel(4, 4, 62, 31); // x 4..65, y 4..34
    p.fillRect(panel, panelEdgeDark);
    p.fillRect(panel.adjusted(1, 1, 0, 0), panelEdgeLight);
    const QRectF panelFace = panel.adjusted(1, 1, -1, -1);
    QLinearGradient pg(panelFace.topLeft(), panelFace.bottomLeft());
    pg.setColorAt(0.0, panelTop);
    pg.setColorAt(1.0, panelBottom);
    p.fillRect(panelFace, pg);
    if (!up)
        drawInsetShadow(p, panelFace, 45, 3);

    // Indicator strip under the panel: a short bar, centred.
    const QRectF strip(21, 39, 28, 6);
    p.fillRect(strip, up ? QColor(0x0e, 0x2a, 0x5c) : QColor(0x6a, 0x6a, 0x6a));
    const QRectF stripFace = strip.adjusted(1, 1, -1, -1);
    QLinearGradient sg(stripFace.topLeft(), stripFace.bottomLeft());
    sg.setColorAt(0.0, up ? QColor(0x9c, 0xf0, 0xa8) : stripTop);
    sg.setColorAt(1.0, up ? QColor(0x38, 0xc0, 0x58) : stripBottom);
    p.fillRect(stripFace, sg);
    if (up)
        p.fillRect(QRectF(stripFace.left(), stripFace.top(), stripFace.width(), 1),
            QColor(255, 255, 255, 150));
    p.end();
    return img;
}

// ---------------------------------------------------------------------------
// Command buttons, 70 x 70
// ---------------------------------------------------------------------------
//
// A rounded coloured cap sitting in a dark square bezel, so the picture reads
// as a key regardless of the window colour behind it.

enum class Glyph { Dot, Ring };

struct CapColours
{
    QColor light; // top of the cap gradient
    QColor mid;
    QColor dark; // bottom of the cap gradient
    QColor rim; // outline of the cap
    QColor glyph;
    QColor glyphEdge;
};

QImage commandFace(const CapColours &c, Glyph glyph, bool up, int scale)
{
    QImage img = faceCanvas(QSize(70, 70), scale);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, true);
    const QRectF all(0, 0, 70, 70);

    // Bezel: dark brushed plate with a faint bevel.
    {
        QLinearGradient g(all.topLeft(), all.bottomLeft());
        g.setColorAt(0.0, QColor(0x4a, 0x4d, 0x52));
        g.setColorAt(1.0, QColor(0x2c, 0x2e, 0x32));
        p.fillRect(all, g);
        p.setRenderHint(QPainter::Antialiasing, false);
        drawBevelRing(p, all, 1, QColor(0x6c, 0x70, 0x76), QColor(0x1a, 0x1b, 0x1e));
        p.setRenderHint(QPainter::Antialiasing, true);
    }

    // Well the cap sits in.
    const QRectF well(4.5, 4.5, 61, 61);
    {
        QPainterPath path;
        path.addRoundedRect(well, 11, 11);
        QLinearGradient g(well.topLeft(), well.bottomLeft());
        g.setColorAt(0.0, QColor(0x14, 0x15, 0x17));
        g.setColorAt(1.0, QColor(0x30, 0x32, 0x36));
        p.setPen(QPen(QColor(0x62, 0x66, 0x6c), 1.0));
        p.setBrush(g);
        p.drawPath(path);
    }

    // Cap. Up: sits high, light from above. Down: one pixel lower and
    // narrower, gradient inverted, darker overall.
    const QRectF cap = up ? QRectF(7, 6, 56, 56) : QRectF(8, 9, 54, 54);
    QPainterPath capPath;
    capPath.addRoundedRect(cap, 9, 9);

    auto scaled = [&](const QColor &col) { return up ? col : col.darker(135); };

    if (up) {
        // Drop shadow below the raised cap.
        QPainterPath sh;
        sh.addRoundedRect(cap.translated(0, 2), 9, 9);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 0, 0, 110));
        p.drawPath(sh);
    }

    {
        QLinearGradient g(cap.topLeft(), cap.bottomLeft());
        if (up) {
            g.setColorAt(0.0, scaled(c.light));
            g.setColorAt(0.5, scaled(c.mid));
            g.setColorAt(1.0, scaled(c.dark));
        } else {
            g.setColorAt(0.0, scaled(c.dark));
            g.setColorAt(0.55, scaled(c.mid));
            g.setColorAt(1.0, scaled(c.mid));
        }
        p.setPen(QPen(scaled(c.rim), 1.0));
        p.setBrush(g);
        p.drawPath(capPath);
    }

    // Bevel on the cap: a lighter inner ring on top, darker at the bottom
    // (swapped when pressed).
    {
        const QRectF ring = cap.adjusted(1.5, 1.5, -1.5, -1.5);
        QPainterPath rp;
        rp.addRoundedRect(ring, 7.5, 7.5);
        QLinearGradient g(ring.topLeft(), ring.bottomLeft());
        if (up) {
            g.setColorAt(0.0, QColor(255, 255, 255, 170));
            g.setColorAt(0.5, QColor(255, 255, 255, 0));
            g.setColorAt(0.51, QColor(0, 0, 0, 0));
            g.setColorAt(1.0, QColor(0, 0, 0, 90));
        } else {
            g.setColorAt(0.0, QColor(0, 0, 0, 120));
            g.setColorAt(0.5, QColor(0, 0, 0, 0));
            g.setColorAt(0.51, QColor(255, 255, 255, 0));
            g.setColorAt(1.0, QColor(255, 255, 255, 60));
        }
        p.setPen(QPen(QBrush(g), 2.0));
        p.setBrush(Qt::NoBrush);
        p.drawPath(rp);
    }

    // Gloss on the upper half of a raised cap.
    if (up) {
        const QRectF gl(cap.left() + 4, cap.top() + 3, cap.width() - 8, cap.height() * 0.42);
        QPainterPath gp;
        gp.addRoundedRect(gl, 6, 6);
        QLinearGradient g(gl.topLeft(), gl.bottomLeft());
        g.setColorAt(0.0, QColor(255, 255, 255, 95));
        g.setColorAt(1.0, QColor(255, 255, 255, 8));
        p.setPen(Qt::NoPen);
        p.setBrush(g);
        p.drawPath(gp);
    }

    // Glyph in the centre of the cap.
    {
        const QPointF ctr = cap.center() + QPointF(0, 1);
        const QColor gc = up ? c.glyph : c.glyph.darker(150);
        const QColor ge = up ? c.glyphEdge : c.glyphEdge.darker(140);
        if (glyph == Glyph::Dot) {
            const qreal rad = 8.0;
            QRadialGradient g(ctr + QPointF(-2.5, -2.5), rad * 1.4);
            g.setColorAt(0.0, up ? QColor(255, 255, 255) : gc.lighter(115));
            g.setColorAt(0.45, gc);
            g.setColorAt(1.0, gc.darker(125));
            p.setPen(QPen(ge, 1.2));
            p.setBrush(g);
            p.drawEllipse(ctr, rad, rad);
        } else {
            const qreal rad = 10.0;
            // Engraved ring: dark groove with a light lower lip.
            p.setBrush(Qt::NoBrush);
            p.setPen(QPen(QColor(255, 255, 255, up ? 110 : 50), 4.6));
            p.drawEllipse(ctr + QPointF(0, 0.8), rad, rad);
            p.setPen(QPen(ge, 4.6));
            p.drawEllipse(ctr, rad, rad);
            p.setPen(QPen(gc, 2.6));
            p.drawEllipse(ctr, rad, rad);
        }
    }
    p.end();
    return img.convertToFormat(QImage::Format_RGB32);
}

// Left-hand command: violet with an engraved ring.
CapColours violet()
{
    return { QColor(0xc6, 0x9c, 0xf2), QColor(0x8a, 0x54, 0xd0), QColor(0x55, 0x28, 0x92),
        QColor(0x2e, 0x12, 0x54), QColor(0xf4, 0xec, 0xff), QColor(0x3a, 0x18, 0x6c) };
}

// Right-hand command: amber with a raised dot.
CapColours amber()
{
    return { QColor(0xff, 0xdc, 0x86), QColor(0xf4, 0xa8, 0x26), QColor(0xbc, 0x6c, 0x08),
        QColor(0x5c, 0x32, 0x02), QColor(0xff, 0xf6, 0xe0), QColor(0x7a, 0x44, 0x04) };
}

// ---------------------------------------------------------------------------
// Window icon
// ---------------------------------------------------------------------------
//
// A dark rounded tile holding a 4 x 4 grid of crosspoints: four inputs on the
// left feed four outputs along the bottom; one lit (green) crosspoint per
// column shows a routing, the rest are dim.

// The classic 16-colour VGA palette used for the .ico.
const std::array<QRgb, 16> kVga = {
    qRgb(0x00, 0x00, 0x00),
    qRgb(0x80, 0x00, 0x00),
    qRgb(0x00, 0x80, 0x00),
    qRgb(0x80, 0x80, 0x00),
    qRgb(0x00, 0x00, 0x80),
    qRgb(0x80, 0x00, 0x80),
    qRgb(0x00, 0x80, 0x80),
    qRgb(0xc0, 0xc0, 0xc0),
    qRgb(0x80, 0x80, 0x80),
    qRgb(0xff, 0x00, 0x00),
    qRgb(0x00, 0xff, 0x00),
    qRgb(0xff, 0xff, 0x00),
    qRgb(0x00, 0x00, 0xff),
    qRgb(0xff, 0x00, 0xff),
    qRgb(0x00, 0xff, 0xff),
    qRgb(0xff, 0xff, 0xff),
};

// Row of the lit crosspoint in each output column (0 = top input).
constexpr int kRoute[4] = { 2, 0, 3, 1 };

// Smooth, anti-aliased icon for the PNGs, drawn on a 32-unit grid.
// The icon, on a canvas of 32 x 32 units: every size and the SVG are
// painted from this one drawing.
void paintIcon(QPainter &p)
{
    p.setRenderHint(QPainter::Antialiasing, true);
    // Tile.
    const QRectF tile(1, 1, 30, 30);
    QPainterPath tp;
    tp.addRoundedRect(tile, 5, 5);
    QLinearGradient tg(tile.topLeft(), tile.bottomLeft());
    tg.setColorAt(0.0, QColor(0x2a, 0x3a, 0x5c));
    tg.setColorAt(1.0, QColor(0x10, 0x18, 0x2c));
    p.setPen(QPen(QColor(0x08, 0x0c, 0x18), 1.0));
    p.setBrush(tg);
    p.drawPath(tp);
    p.setPen(QPen(QColor(255, 255, 255, 50), 0.8));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(tile.adjusted(1, 1, -1, -1), 4, 4);

    // Crosspoint centres. Inputs enter from the left edge, outputs leave at
    // the bottom edge.
    const qreal colX[4] = { 9.5, 15.0, 20.5, 26.0 };
    const qreal rowY[4] = { 6.5, 12.0, 17.5, 23.0 };

    // Bus lines: inputs (horizontal) and outputs (vertical).
    p.setPen(QPen(QColor(0x6c, 0x84, 0xb0, 150), 0.9));
    for (int r = 0; r < 4; ++r)
        p.drawLine(QPointF(3.5, rowY[r]), QPointF(colX[3] + 1.5, rowY[r]));
    for (int c = 0; c < 4; ++c)
        p.drawLine(QPointF(colX[c], rowY[0] - 1.5), QPointF(colX[c], 28.5));

    // Input taps on the left.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xf0, 0xc0, 0x40));
    for (int r = 0; r < 4; ++r)
        p.drawRect(QRectF(2.5, rowY[r] - 1.2, 2.4, 2.4));

    // Active routes: light the column from the crosspoint down to the output.
    p.setPen(QPen(QColor(0x50, 0xf0, 0x60), 1.4, Qt::SolidLine, Qt::FlatCap));
    for (int c = 0; c < 4; ++c)
        p.drawLine(QPointF(colX[c], rowY[kRoute[c]]), QPointF(colX[c], 28.8));

    // Crosspoints.
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            const QPointF ctr(colX[c], rowY[r]);
            if (kRoute[c] == r) {
                QRadialGradient g(ctr + QPointF(-0.6, -0.6), 2.6);
                g.setColorAt(0.0, QColor(0xe8, 0xff, 0xe0));
                g.setColorAt(0.5, QColor(0x40, 0xf0, 0x50));
                g.setColorAt(1.0, QColor(0x10, 0x90, 0x24));
                p.setPen(QPen(QColor(0x06, 0x40, 0x10), 0.6));
                p.setBrush(g);
                p.drawEllipse(ctr, 2.2, 2.2);
            } else {
                p.setPen(Qt::NoPen);
                p.setBrush(QColor(0x8a, 0x96, 0xac));
                p.drawEllipse(ctr, 1.1, 1.1);
            }
        }
    }
}

QImage iconSmooth(int px)
{
    QImage img(px, px, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.scale(px / 32.0, px / 32.0);
    paintIcon(p);
    p.end();
    return img;
}

bool saveSvg(const QString &path)
{
    QSvgGenerator svg;
    svg.setFileName(path);
    svg.setSize(QSize(32, 32));
    svg.setViewBox(QRect(0, 0, 32, 32));
    svg.setTitle(QStringLiteral("matrix-panel"));
    QPainter p;
    if (!p.begin(&svg)) {
        std::fprintf(stderr, "make_art: cannot write %s\n", qPrintable(path));
        return false;
    }
    paintIcon(p);
    p.end();
    std::printf("wrote %s\n", qPrintable(path));
    return true;
}

// The same icon as scalable SVG for the desktop's icon theme: the drawing of
// iconSmooth() element by element, on the same 32-unit grid.
// Pixel-exact 32 x 32 icon using only palette indices, for the .ico. Each
// entry is an index into kVga, or -1 for transparent.
std::array<std::array<int, 32>, 32> iconIndexed()
{
    enum { T = -1, BLK = 0, GRN = 2, NAVY = 4, SIL = 7, GRY = 8, LIME = 10, YEL = 11, WHT = 15 };
    std::array<std::array<int, 32>, 32> px {};
    for (auto &row : px)
        row.fill(T);

    auto set = [&](int x, int y, int v) {
        if (x >= 0 && x < 32 && y >= 0 && y < 32)
            px[y][x] = v;
    };

    // Tile with clipped corners (radius ~3), black outline, navy body.
    for (int y = 1; y <= 30; ++y) {
        for (int x = 1; x <= 30; ++x) {
            const int dx = x < 4 ? 4 - x : (x > 27 ? x - 27 : 0);
            const int dy = y < 4 ? 4 - y : (y > 27 ? y - 27 : 0);
            if (dx * dx + dy * dy > 10)
                continue;
            set(x, y, NAVY);
        }
    }
    // Outline: any tile pixel with a transparent 4-neighbour becomes black.
    auto copy = px;
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            if (copy[y][x] == T)
                continue;
            const bool edge = x == 0 || y == 0 || x == 31 || y == 31 || copy[y][x - 1] == T
                || copy[y][x + 1] == T || copy[y - 1][x] == T || copy[y + 1][x] == T;
            if (edge)
                set(x, y, BLK);
        }
    }

    const int colX[4] = { 9, 15, 21, 26 };
    const int rowY[4] = { 6, 12, 17, 23 };

    // Bus lines in grey.
    for (int r = 0; r < 4; ++r)
        for (int x = 4; x <= colX[3] + 1; ++x)
            set(x, rowY[r], GRY);
    for (int c = 0; c < 4; ++c)
        for (int y = rowY[0] - 1; y <= 28; ++y)
            set(colX[c], y, GRY);

    // Input taps (yellow 2 x 3 blocks) at the left.
    for (int r = 0; r < 4; ++r)
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = 0; dx <= 1; ++dx)
                set(3 + dx, rowY[r] + dy, YEL);

    // Active routes down to the bottom edge.
    for (int c = 0; c < 4; ++c)
        for (int y = rowY[kRoute[c]]; y <= 28; ++y)
            set(colX[c], y, LIME);

    // Crosspoints: dim silver dots, lit ones a 3x3 green blob with a white
    // highlight and dark-green rim.
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            const int x = colX[c];
            const int y = rowY[r];
            if (kRoute[c] == r) {
                for (int dy = -2; dy <= 2; ++dy)
                    for (int dx = -2; dx <= 2; ++dx)
                        if (std::abs(dx) + std::abs(dy) <= 3)
                            set(x + dx, y + dy, GRN);
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx)
                        set(x + dx, y + dy, LIME);
                set(x - 1, y - 1, WHT);
            } else {
                set(x, y, SIL);
            }
        }
    }
    return px;
}

void putU16(QByteArray &b, uint16_t v)
{
    b.append(char(v & 0xff));
    b.append(char((v >> 8) & 0xff));
}

void putU32(QByteArray &b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.append(char((v >> (8 * i)) & 0xff));
}

// Writes a single-image 32 x 32, 4 bpp .ico: ICONDIR, one ICONDIRENTRY, then
// a BITMAPINFOHEADER (height doubled for the mask), the 16-entry palette, the
// bottom-up colour bitmap and the bottom-up 1 bpp AND mask.
bool writeIco4(const std::array<std::array<int, 32>, 32> &px, const QString &path)
{
    constexpr int W = 32;
    constexpr int H = 32;
    constexpr int xorStride = ((W * 4 + 31) / 32) * 4; // 16 bytes
    constexpr int andStride = ((W + 31) / 32) * 4; // 4 bytes
    constexpr uint32_t headerSize = 40;
    constexpr uint32_t paletteSize = 16 * 4;
    constexpr uint32_t xorSize = xorStride * H;
    constexpr uint32_t andSize = andStride * H;
    constexpr uint32_t imageSize = headerSize + paletteSize + xorSize + andSize;

    QByteArray b;
    // ICONDIR
    putU16(b, 0); // reserved
    putU16(b, 1); // type: icon
    putU16(b, 1); // one image
    // ICONDIRENTRY
    b.append(char(W));
    b.append(char(H));
    b.append(char(16)); // colours in palette
    b.append(char(0)); // reserved
    putU16(b, 1); // planes
    putU16(b, 4); // bits per pixel
    putU32(b, imageSize);
    putU32(b, 6 + 16); // offset of the image data
    // BITMAPINFOHEADER
    putU32(b, headerSize);
    putU32(b, W);
    putU32(b, H * 2); // colour bitmap + mask
    putU16(b, 1); // planes
    putU16(b, 4); // bits per pixel
    putU32(b, 0); // BI_RGB
    putU32(b, xorSize + andSize);
    putU32(b, 0);
    putU32(b, 0);
    putU32(b, 16); // colours used
    putU32(b, 0); // important colours
    // Palette, BGRx.
    for (QRgb c : kVga) {
        b.append(char(qBlue(c)));
        b.append(char(qGreen(c)));
        b.append(char(qRed(c)));
        b.append(char(0));
    }
    // Colour bitmap, bottom-up, two pixels per byte (high nibble first).
    for (int y = H - 1; y >= 0; --y) {
        QByteArray row(xorStride, '\0');
        for (int x = 0; x < W; ++x) {
            const int idx = px[y][x] < 0 ? 0 : px[y][x];
            if (x % 2 == 0)
                row[x / 2] = char((idx & 0x0f) << 4);
            else
                row[x / 2] = char(uchar(row[x / 2]) | (idx & 0x0f));
        }
        b.append(row);
    }
    // AND mask, bottom-up: 1 = transparent.
    for (int y = H - 1; y >= 0; --y) {
        QByteArray row(andStride, '\0');
        for (int x = 0; x < W; ++x)
            if (px[y][x] < 0)
                row[x / 8] = char(uchar(row[x / 8]) | (0x80 >> (x % 8)));
        b.append(row);
    }

    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(b) != b.size()) {
        std::fprintf(stderr, "make_art: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("wrote %s (32x32, 4 bpp, %lld bytes)\n", qPrintable(path),
        static_cast<long long>(b.size()));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM",
        qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen")
                                             : qgetenv("QT_QPA_PLATFORM"));
    QGuiApplication app(argc, argv);

    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("assets");
    QDir().mkpath(dir);
    auto out = [&](const char *name) { return dir + QLatin1Char('/') + QLatin1String(name); };

    bool ok = true;
    // Each face at its size, then at twice its size for screens of twice the
    // density ("@2x": the name by which Qt gives a picture a pixel ratio of 2).
    for (int scale : { 1, 2 }) {
        const QString at = scale == 1 ? QString() : QStringLiteral("@2x");
        auto face = [&](const char *name, const char *ext) {
            return out(name) + at + QLatin1String(ext);
        };
        ok &= saveBmp24(inputFace(true, scale), face("input_up", ".bmp"));
        ok &= saveBmp24(inputFace(false, scale), face("input_down", ".bmp"));
        ok &= saveBmp24(outputFace(true, scale), face("output_up", ".bmp"));
        ok &= saveBmp24(outputFace(false, scale), face("output_down", ".bmp"));

        constexpr int jpegQuality = 95;
        ok &= saveImage(commandFace(amber(), Glyph::Dot, true, scale), face("command16_up", ".jpg"),
            "JPG", jpegQuality);
        ok &= saveImage(commandFace(amber(), Glyph::Dot, false, scale),
            face("command16_down", ".jpg"), "JPG", jpegQuality);
        ok &= saveImage(commandFace(violet(), Glyph::Ring, true, scale),
            face("command40_up", ".jpg"), "JPG", jpegQuality);
        ok &= saveImage(commandFace(violet(), Glyph::Ring, false, scale),
            face("command40_down", ".jpg"), "JPG", jpegQuality);
    }

    ok &= writeIco4(iconIndexed(), out("icon.ico"));
    ok &= saveImage(iconSmooth(32), out("icon.png"), "PNG");

    // The desktop's icon theme: one PNG per size it looks for, and the SVG.
    QDir().mkpath(out("icons"));
    for (int px : { 16, 22, 24, 32, 48, 64, 128, 256 })
        ok &= saveImage(iconSmooth(px), out("icons/") + QStringLiteral("%1x%1.png").arg(px), "PNG");
    ok &= saveSvg(out("icons/scalable.svg"));

    return ok ? 0 : 1;
}
