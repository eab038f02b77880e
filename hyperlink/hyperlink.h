#pragma once

#include "hyperlinkinterface.h"

#include <QCursor>
#include <QLabel>

#include <atomic>
#include <memory>
#include <vector>

class Hyperlink final : public IHyperlink {
public:
    Hyperlink();
    Hyperlink(const Hyperlink &) = delete;
    Hyperlink &operator=(const Hyperlink &) = delete;

    com::HResult QueryInterface(const QUuid &iid, void **object) override;
    quint32 AddRef() override;
    quint32 Release() override;

    void URLFormat(IRichTextBox &rtb) override;
    void RichWordOver(IHostForm &frm, IRichTextBox &rch, float x, float y) override;

    QString URL() const override { return m_url; }
    bool URLBold() const override { return m_bold; }
    void setURLBold(bool bold) override;
    bool URLItalic() const override { return m_italic; }
    void setURLItalic(bool italic) override;
    bool URLUnderline() const override { return m_underline != 0; }
    void setURLUnderline(bool underline) override;
    quint32 URLColour() const override { return m_colour; }
    void setURLColour(quint32 colour) override;

    std::optional<qint32> URLLaunch() override;

    com::HResult Advise(IHyperlinkEvents *sink) override;
    com::HResult Unadvise(IHyperlinkEvents *sink) override;
    void SetClientSite(IControlSite *site) override { m_site = site; }

    void InitProperties() override;
    void ReadProperties(const IPropertyBag &bag) override;
    void WriteProperties(IPropertyBag &bag) const override;

    QWidget *face() const override { return m_face.get(); }
    QCursor handCursor() const override { return m_hand; }

private:
    ~Hyperlink();

    void FormatPrefix(IRichTextBox &rtb, const QString &prefix);
    void FormatRange(IRichTextBox &rtb, int start, int length);
    void setPointingHand(IHostForm &frm);
    void raiseURLChanged();
    void propertyChanged(qint32 dispId);

    std::atomic<quint32> m_references{1};
    std::unique_ptr<QLabel> m_face;
    QCursor m_hand;
    QString m_url;
    bool m_bold = false;
    bool m_italic = false;
    qint16 m_underline = -1;
    quint32 m_colour = 0xFF0000;
    std::vector<IHyperlinkEvents *> m_sinks;
    IControlSite *m_site = nullptr;
};

// Objects and server locks alive in this library, for DllCanUnloadNow.
namespace hyperlinkModule {
void objectCreated();
void objectDestroyed();
void lock(bool locked);
bool canUnload();
} // namespace hyperlinkModule

QCursor pointingHandCursor();
