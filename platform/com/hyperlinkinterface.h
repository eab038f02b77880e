#pragma once

// The link control's interfaces as its hosts see them. The control lives in its
// own library, which hosts load at run time through the component registry, so
// hosts call it through these abstract classes only.

#include "com.h"
#include "hostform.h"
#include "propertybag.h"
#include "richtextbox.h"

#include <QString>
#include <QUuid>
#include <QWidget>

#include <array>
#include <optional>

namespace hyperlink {

inline const QString progId = QStringLiteral("proHyp.Hyperlink");
inline const QUuid typeLibraryId{"{77994c12-2bd1-4c81-97c7-266a50a30b42}"};
inline const QUuid classId{"{1febcb6d-4c31-4078-a30c-dde436f437ef}"};
// "_Hyperlink", the default interface (IHyperlink below).
inline const QUuid interfaceId{"{eaa2cd3b-4c19-4eb3-98dd-1d0c058df1f6}"};
// "__Hyperlink", the event interface (IHyperlinkEvents below).
inline const QUuid eventsInterfaceId{"{fe6d466d-5d0b-4226-a519-1f6e5d1bb0dc}"};

inline constexpr const char *typeLibraryName = "proHyp";
inline constexpr const char *typeLibraryHelp = "Richtextbox Hyperlink Control";
inline constexpr const char *className = "Hyperlink";

namespace dispid {
constexpr qint32 URL = 0;
constexpr qint32 URLColour = 0x68030000;
constexpr qint32 URLUnderline = 0x68030001;
constexpr qint32 URLItalic = 0x68030002;
constexpr qint32 URLBold = 0x68030003;
constexpr qint32 URLFormat = 0x60030004;
constexpr qint32 RichWordOver = 0x60030007;
constexpr qint32 URLLaunch = 0x6003000C;
constexpr qint32 URLChanged = 1;
} // namespace dispid

struct MemberInfo {
    const char *name;
    qint32 dispId;
    const char *helpString; // empty where the member has none
};

inline constexpr std::array<MemberInfo, 9> members{{
    {"URLFormat", dispid::URLFormat, ""},
    {"RichWordOver", dispid::RichWordOver,
     "Use in the RichTextBoxes Move event.  This method will set the MouseIcon property of the "
     "form to the pointing hand."},
    {"URL", dispid::URL,
     "When the user moves the mouse cursor over a URL in a richtextbox, the URL property will be "
     "set to that URL.  The URLChanged event is then called."},
    {"URLBold", dispid::URLBold,
     "Determines whether the URLs will be bold before the URLFormat method is called."},
    {"URLItalic", dispid::URLItalic,
     "Determines whether the URLs will be italic before the URLFormat method is called."},
    {"URLUnderline", dispid::URLUnderline,
     "Determines whether the URLs will be underlined before the URLFormat method is called."},
    {"URLColour", dispid::URLColour,
     "Determines what the colour of the URLs before the URLFormat method is called."},
    {"URLLaunch", dispid::URLLaunch, ""},
    {"URLChanged", dispid::URLChanged, "Happens when the URL property chnages."},
}};

} // namespace hyperlink

// Receives the control's events ("__Hyperlink").
class IHyperlinkEvents {
public:
    virtual void URLChanged() = 0;

protected:
    ~IHyperlinkEvents() = default;
};

// The host's side of a control on one of its forms.
class IControlSite {
public:
    // A property was set, so the form's saved properties are out of date.
    virtual void OnPropertyChanged(qint32 dispId) = 0;

protected:
    ~IControlSite() = default;
};

// The link control ("_Hyperlink").
class IHyperlink : public com::IUnknown {
public:
    // Gives every link in the box's text the link style; leaves the caret at 0.
    virtual void URLFormat(IRichTextBox &rtb) = 0;
    // For the box's mouse moves: x, y in twips of the box's client area. Sets the
    // form's pointer to the pointing hand over a link, else back to the default.
    virtual void RichWordOver(IHostForm &frm, IRichTextBox &rch, float x, float y) = 0;

    virtual QString URL() const = 0;
    virtual bool URLBold() const = 0;
    virtual void setURLBold(bool bold) = 0;
    virtual bool URLItalic() const = 0;
    virtual void setURLItalic(bool italic) = 0;
    virtual bool URLUnderline() const = 0;
    virtual void setURLUnderline(bool underline) = 0;
    // 0x00BBGGRR
    virtual quint32 URLColour() const = 0;
    virtual void setURLColour(quint32 colour) = 0;

    // Opens URL with the desktop's handler for it and returns a code above 32 on
    // success (42) or 31 when nothing could open it; empty, opening nothing, while
    // URL is empty.
    virtual std::optional<qint32> URLLaunch() = 0;

    // Sinks are not owned; a host removes its sink before the sink goes.
    virtual com::HResult Advise(IHyperlinkEvents *sink) = 0;
    virtual com::HResult Unadvise(IHyperlinkEvents *sink) = 0;
    // Not owned either; null detaches.
    virtual void SetClientSite(IControlSite *site) = 0;

    virtual void InitProperties() = 0;
    virtual void ReadProperties(const IPropertyBag &bag) = 0;
    virtual void WriteProperties(IPropertyBag &bag) const = 0;

    // The control's face, for the host to place on its form (set its parent and
    // position). It may go with that form before the control; null then.
    virtual QWidget *face() const = 0;
    // The pointing hand the control hands to forms.
    virtual QCursor handCursor() const = 0;

protected:
    ~IHyperlink() = default;
};

namespace hyperlink {

// The control as registered under progId, or the reason why there is none.
inline com::Instance<IHyperlink> create() {
    return com::createObject<IHyperlink>(progId, interfaceId);
}

} // namespace hyperlink
