#include "radio/skin.h"

// The front panel's layout. Positions are drawn in pixels of the panel
// pictures (assets/make-panel) and kept in twips, 15 to the pixel.

namespace {

constexpr int px = 15;

Placement at(const char *control, int left, int top, int width, int height) {
    return {control, left * px, top * px, width * px, height * px};
}

// Colours are 0x00BBGGRR.
constexpr quint32 keyFace = 0x2e2e2e;
constexpr quint32 keyText = 0xe8e8e8;
constexpr quint32 displayDark = 0x404040;
constexpr quint32 lampOff = 0x000000;
constexpr quint32 green = 0x53d339;

LabelLook key(const char *control, double pt = 6.5) {
    return {control, keyText, keyFace, 1, 1, pt, true, 2, nullptr};
}

// A key whose face and symbol are printed on the panel picture.
LabelLook printedKey(const char *control) {
    return {control, keyText, 0, 0, 1, 0, false, 2, nullptr};
}

LabelLook legend(const char *control, quint32 ink, double pt = 7) {
    return {control, ink, 0, 0, 0, pt, true, 2, nullptr};
}

LabelLook handle(const char *control) {
    return {control, 0, 0, 0, 0, 0, false, 0, nullptr};
}

LabelLook lamp(const char *control, quint32 colour = lampOff) {
    return {control, 0, colour, 1, 1, 0, false, 2, nullptr};
}

std::vector<Placement> placements(bool grey) {
    std::vector<Placement> list = {
        // panel styles, all over the whole panel
        at("Image1(0)", 0, 0, 582, 200),
        at("Image1(1)", 0, 0, 582, 200),
        at("Image1(2)", 0, 0, 582, 200),
        at("Image1(3)", 0, 0, 582, 200),
        at("Image1(4)", 0, 0, 582, 200),
        at("Image1(5)", 0, 0, 582, 200),
        // grips for moving the window
        at("Frame1", 8, 10, 172, 146),
        at("Frame2", 186, 10, 220, 92),
        at("Frame3", 414, 10, 160, 66),
        at("Frame5", 414, 78, 160, 88),
        at("Frame6", 186, 104, 220, 62),
        at("Frame9", 0, 166, 582, 34),
        at("Label13", 8, 0, 172, 10),
        at("Label15", 186, 0, 220, 10),
        at("Label18", 414, 0, 160, 10),
        at("Label19", 8, 156, 172, 10),
        at("Label20", 0, 10, 8, 156),
        at("Label68", 406, 10, 8, 156),
        at("Label69", 574, 10, 8, 156),
        // meter
        at("Image2", 14, 16, 160, 96),
        at("Label53", 22, 18, 110, 12),
        at("Label61", 104, 30, 66, 12),
        at("ProgressBar1", 14, 118, 160, 6),
        at("ProgressBar2", 14, 127, 160, 6),
        at("Label51", 6, 136, 8, 5),
        at("Label60", 6, 143, 8, 5),
        // needle: pivot, then the tip at rest
        {"Line1", 94 * px, 110 * px, -963, -811},
        // lamps
        at("Label1", 22, 149, 12, 7),
        at("Label2", 48, 149, 12, 7),
        at("Label31", 78, 149, 12, 7),
        at("Label6", 112, 149, 10, 7),
        at("Label7", 126, 149, 10, 7),
        at("Label29", 158, 149, 12, 7),
        at("Image13", 160, 120, 10, 10),
        // display
        at("Image37", 392, 16, 7, 7),
        at("Image38", 392, 16, 7, 7),
        at("Label4", 196, 20, 84, 56),
        at("Label26", 196, 78, 84, 16),
        at("Label25", 286, 20, 104, 20),
        at("Label32", 286, 44, 104, 16),
        at("lblReceivedBytes", 286, 62, 104, 16),
        grey ? at("Label16", 200, 80, 76, 12) : at("Label16", 286, 80, 104, 14),
        at("Label63", 0, 0, 0, 0),
        // channel keys, scan and link keys
        at("Image19", 190, 118, 40, 24),
        at("Image26", 190, 118, 40, 24),
        at("Image20", 234, 118, 40, 24),
        at("Image27", 234, 118, 40, 24),
        at("Label9", 190, 118, 40, 24),
        at("Label10", 234, 118, 40, 24),
        at("Label23", 290, 106, 92, 10),
        at("Label22", 290, 118, 44, 24),
        at("Label24", 338, 118, 44, 24),
        at("Label8", 386, 118, 18, 24),
        at("Label3", 190, 146, 58, 18),
        at("Label5", 252, 146, 58, 18),
        at("Image14", 314, 146, 44, 18),
        at("Label43", 314, 146, 44, 18),
        at("Label11", 362, 146, 44, 18),
        // push-to-talk
        at("senden", 420, 16, 104, 40),
        at("Image32", 532, 14, 28, 28),
        at("Image31", 532, 14, 28, 28),
        at("Image35", 526, 46, 44, 18),
        at("Image36", 526, 46, 44, 18),
        at("Image8", 420, 60, 104, 12),
        // volume and loudspeaker
        at("Slider1", 420, 92, 110, 18),
        at("Label34", 534, 92, 36, 18),
        at("Image29", 420, 112, 30, 18),
        at("Label39", 420, 112, 30, 18),
        at("Image28", 454, 112, 30, 18),
        at("Label38", 454, 112, 30, 18),
        at("Label42", 488, 112, 28, 18),
        at("ProgressBar3", 518, 116, 52, 10),
        at("Label14", 420, 134, 22, 20),
        at("Image4", 446, 132, 26, 24),
        at("Image5", 446, 132, 26, 24),
        at("Label17", 472, 138, 34, 14),
        at("Image3", 512, 133, 22, 22),
        at("Image7", 540, 133, 22, 22),
        at("Check1", 420, 158, 14, 12),
        at("Label30", 436, 157, 120, 12),
        at("Slider2", 0, 0, 0, 0),
        // bottom row
        at("Image12", 24, 168, 20, 28),
        at("Image11", 24, 168, 20, 28),
        at("Label67", 46, 176, 40, 12),
        at("Label48", 90, 172, 40, 18),
        at("Image30", 134, 172, 40, 18),
        at("Label50", 134, 172, 40, 18),
        at("Image17", 178, 172, 30, 18),
        at("Label44", 178, 172, 30, 18),
        at("Label45", 210, 174, 46, 14),
        at("Image18", 260, 172, 38, 18),
        at("Label46", 260, 172, 38, 18),
        at("Label47", 300, 174, 44, 14),
        at("ch01", 348, 172, 38, 18),
        at("Label28", 390, 172, 40, 18),
        at("Label36", 434, 172, 56, 18),
        at("Label21", 494, 172, 40, 18),
        at("Label12", 562, 182, 12, 12),
        // the direct entry over the display; its field and key sit inside it
        at("Frame7", 190, 14, 212, 84),
        at("Text1", 10, 30, 96, 24),
        at("Command1", 112, 30, 92, 26),
        // the operators' notice over the display, room for its longest text
        at("Image16", 180, 8, 236, 130),
        at("Label49", 188, 14, 220, 92),
        at("Command2", 334, 110, 74, 22),
    };
    return list;
}

std::vector<LabelLook> looks(quint32 ink, bool grey) {
    return {
        key("Label3"),
        key("Label5"),
        key("Label11"),
        key("Label22"),
        key("Label24"),
        key("Label8"),
        printedKey("Label43"),
        key("Label36"),
        printedKey("Label21"),
        printedKey("Label28"),
        key("Label44"),
        key("Label46"),
        key("Label48"),
        key("Label50"),
        key("ch01"),
        printedKey("Label38"),
        printedKey("Label39"),
        {"Label14", keyText, 0x80000011, 1, 1, 7, true, 2, nullptr},
        handle("Label9"),
        handle("Label10"),
        handle("Label12"),
        handle("Label13"),
        handle("Label15"),
        handle("Label18"),
        handle("Label19"),
        handle("Label20"),
        handle("Label68"),
        handle("Label69"),
        handle("Label63"),
        legend("Label23", ink),
        legend("Label45", ink),
        legend("Label47", ink),
        legend("Label17", ink),
        legend("Label67", ink),
        legend("Label42", ink),
        {"Label30", ink, 0, 0, 0, 7, true, 0, nullptr},
        {"Label53", 0x222222, 0, 0, 0, 6.5, true, 0, nullptr},
        {"Label61", 0x1010d0, 0, 0, 0, 6, true, 0, nullptr},
        {"Label4", 0, displayDark, 1, 0, 30, true, 2, "DSEG7 Classic"},
        {"Label26", 0, displayDark, 1, 0, 7, true, 2, nullptr},
        {"Label25", 0, displayDark, 1, 0, 11, true, 1, nullptr},
        {"Label32", 0x202020, 0, 0, 0, 9, true, 1, nullptr},
        {"lblReceivedBytes", 0x4040, displayDark, 1, 0, 9, false, 1, nullptr},
        // the grey panel shows the link state on the lit display
        {"Label16", grey ? 0x202020u : 0xc8c8c8u, 0, 0, 0, 7.5, true, grey ? 2 : 1, nullptr},
        {"Label34", green, 0x101010, 1, 1, 10, true, 2, "DSEG7 Classic"},
        {"Label49", 0xffffff, 0xff, 1, 0, 8, true, 0, nullptr},
        {"Label51", 0, 0x0080ff, 1, 0, 0, false, 0, nullptr},
        {"Label60", 0, green, 1, 0, 0, false, 0, nullptr},
        lamp("Label1"),
        lamp("Label2"),
        lamp("Label31", 0x808080),
        lamp("Label6"),
        lamp("Label7"),
        lamp("Label29", 0x80000011),
    };
}

} // namespace

const Skin &goldSkin() {
    static const Skin skin{QStringLiteral("gold"),
                           QStringLiteral("&H80C0FF"),
                           QStringLiteral(":/panel/gold/"),
                           8724,
                           3000,
                           placements(false),
                           looks(0x124a6b, false)};
    return skin;
}

const Skin &greySkin() {
    static const Skin skin{QStringLiteral("grey"),
                           QStringLiteral("8454016"),
                           QStringLiteral(":/panel/grey/"),
                           8724,
                           3000,
                           placements(true),
                           looks(0x5e5955, true)};
    return skin;
}

quint32 restingInk(const Skin &skin, const QString &control) {
    for (const LabelLook &look : skin.looks) {
        if (control == QLatin1String(look.control))
            return look.foreColour;
    }
    return 0;
}
