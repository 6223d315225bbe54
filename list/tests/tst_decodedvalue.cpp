// The property editor shows the text of a body value beside its bytes: the RTF that
// PR_RTF_COMPRESSED holds (or why it cannot be read) and PR_HTML's HTML; other binary
// values keep the editor's own layout.
#include "list/EditPropDlg.h"

#include "mapi32/mapitags.h"
#include "mapi32/rtfcomp.h"

#include <QPlainTextEdit>
#include <QTest>

class TestDecodedValue : public QObject
{
    Q_OBJECT

    static QString Decoded(ULONG ulTag, std::vector<uint8_t> bytes, bool& bShown)
    {
        SPropValue prop{};
        prop.ulPropTag = ulTag;
        prop.Value.bin.cb = static_cast<ULONG>(bytes.size());
        prop.Value.bin.lpb = bytes.data();
        CEditPropDlg dlg;
        dlg.m_pProp = &prop;
        dlg.SetValueBuffer(bytes.data(), static_cast<ULONG>(bytes.size()));
        if (!dlg.OnInitDialog())
            return QStringLiteral("(no dialog)");
        auto* pText = qobject_cast<QPlainTextEdit*>(dlg.Control(IDC_DECODED_TEXT));
        bShown = pText != nullptr && dlg.HexValue() != nullptr;
        return pText ? pText->toPlainText() : QString();
    }

private slots:
    void bodyValues()
    {
        const std::string rtf = "{\\rtf1\\ansi hello}";
        std::vector<uint8_t> compressed =
            dravik::mapi32::rtfcomp::Compress(std::span(reinterpret_cast<const uint8_t*>(rtf.data()), rtf.size()));
        bool bShown = false;
        QCOMPARE(Decoded(PR_RTF_COMPRESSED, compressed, bShown), QString::fromStdString(rtf));
        QVERIFY(bShown);
        compressed[12] ^= 1;
        QVERIFY(Decoded(PR_RTF_COMPRESSED, compressed, bShown).startsWith(QStringLiteral("Damaged: compressed RTF: CRC")));
        QCOMPARE(Decoded(PR_HTML, {'<', 'b', '>', 0xE9}, bShown), QStringLiteral("<b>\u00E9"));
        bShown = true;
        QCOMPARE(Decoded(PR_ENTRYID, {1, 2, 3}, bShown), QString());
        QVERIFY(!bShown);
    }
};

QTEST_MAIN(TestDecodedValue)
#include "tst_decodedvalue.moc"
