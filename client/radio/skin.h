#pragma once

#include <QString>
#include <QtGlobal>
#include <vector>

// The two builds of the radio differ only in what this describes: the panel
// pictures, where the panel's controls sit, a few design colours and the
// colour of the lit display.

struct Placement {
    const char *control; // design name: "Label4", an index array element as "Image1(3)"
    int leftTwips;
    int topTwips;
    int widthTwips;
    int heightTwips;
};

// How a label or key caption is drawn on the panel. Colours are 0x00BBGGRR.
struct LabelLook {
    const char *control;
    quint32 foreColour;
    quint32 backColour;
    int backStyle;   // 0 transparent, 1 opaque
    int borderStyle; // 0 none, 1 fixed single
    double fontPt;
    bool bold;
    int alignment;          // 0 left, 1 right, 2 centre
    const char *fontFamily; // nullptr: the panel's default face
};

struct Skin {
    QString name;        // "gold" or "grey"
    QString buildColour; // colour text of the lit display
    QString pictureRoot; // resource folder of this skin's pictures, e.g. ":/panel/gold/"
    int panelWidthTwips; // the borderless main window
    int panelHeightTwips;
    std::vector<Placement> placements;
    std::vector<LabelLook> looks;
};

const Skin &goldSkin();
// The caption colour a panel key rests in, readable on its own face: what
// the key shows when it is neither pressed nor switched on.
quint32 restingInk(const Skin &skin, const QString &control);
const Skin &greySkin();
