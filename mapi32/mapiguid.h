// Interface identifiers and property-set GUIDs, with their public values.
#pragma once

#include "mapi32/mapidefs.h"

// The OLE form {xxxxxxxx-0000-0000-C000-000000000046} of the MAPI and COM identifiers.
#define DRAVIK_OLEGUID(l) GUID{static_cast<std::uint32_t>(l), 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}}

inline constexpr IID IID_IUnknown = DRAVIK_OLEGUID(0x00000000);
inline constexpr IID IID_IStream = DRAVIK_OLEGUID(0x0000000C);
inline constexpr IID IID_IStorage = DRAVIK_OLEGUID(0x0000000B);
inline constexpr IID IID_IEnumSTATSTG = DRAVIK_OLEGUID(0x0000000D);
inline constexpr IID IID_ISequentialStream = {0x0C733A30, 0x2A1C, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr IID IID_IMAPISession = DRAVIK_OLEGUID(0x00020300);
inline constexpr IID IID_IMAPITable = DRAVIK_OLEGUID(0x00020301);
inline constexpr IID IID_IMAPIAdviseSink = DRAVIK_OLEGUID(0x00020302);
inline constexpr IID IID_IMAPIProp = DRAVIK_OLEGUID(0x00020303);
inline constexpr IID IID_IProfSect = DRAVIK_OLEGUID(0x00020304);
inline constexpr IID IID_IMAPIStatus = DRAVIK_OLEGUID(0x00020305);
inline constexpr IID IID_IMsgStore = DRAVIK_OLEGUID(0x00020306);
inline constexpr IID IID_IMessage = DRAVIK_OLEGUID(0x00020307);
inline constexpr IID IID_IAttachment = DRAVIK_OLEGUID(0x00020308);
inline constexpr IID IID_IAddrBook = DRAVIK_OLEGUID(0x00020309);
inline constexpr IID IID_IMailUser = DRAVIK_OLEGUID(0x0002030A);
inline constexpr IID IID_IMAPIContainer = DRAVIK_OLEGUID(0x0002030B);
inline constexpr IID IID_IMAPIFolder = DRAVIK_OLEGUID(0x0002030C);
inline constexpr IID IID_IABContainer = DRAVIK_OLEGUID(0x0002030D);
inline constexpr IID IID_IDistList = DRAVIK_OLEGUID(0x0002030E);
inline constexpr IID IID_IMAPISup = DRAVIK_OLEGUID(0x0002030F);
inline constexpr IID IID_IMSProvider = DRAVIK_OLEGUID(0x00020310);
inline constexpr IID IID_IABProvider = DRAVIK_OLEGUID(0x00020311);
inline constexpr IID IID_IXPProvider = DRAVIK_OLEGUID(0x00020312);
inline constexpr IID IID_IMSLogon = DRAVIK_OLEGUID(0x00020313);
inline constexpr IID IID_IABLogon = DRAVIK_OLEGUID(0x00020314);
inline constexpr IID IID_IXPLogon = DRAVIK_OLEGUID(0x00020315);
inline constexpr IID IID_IMAPITableData = DRAVIK_OLEGUID(0x00020316);
inline constexpr IID IID_IMAPISpoolerInit = DRAVIK_OLEGUID(0x00020317);
inline constexpr IID IID_IMAPISpoolerSession = DRAVIK_OLEGUID(0x00020318);
inline constexpr IID IID_ITNEF = DRAVIK_OLEGUID(0x00020319);
inline constexpr IID IID_IMAPIPropData = DRAVIK_OLEGUID(0x0002031A);
inline constexpr IID IID_IMAPIControl = DRAVIK_OLEGUID(0x0002031B);
inline constexpr IID IID_IProfAdmin = DRAVIK_OLEGUID(0x0002031C);
inline constexpr IID IID_IMsgServiceAdmin = DRAVIK_OLEGUID(0x0002031D);
inline constexpr IID IID_IMAPISpoolerService = DRAVIK_OLEGUID(0x0002031E);
inline constexpr IID IID_IMAPIProgress = DRAVIK_OLEGUID(0x0002031F);
inline constexpr IID IID_ISpoolerHook = DRAVIK_OLEGUID(0x00020320);
inline constexpr IID IID_IMAPIViewContext = DRAVIK_OLEGUID(0x00020321);
inline constexpr IID IID_IMAPIFormMgr = DRAVIK_OLEGUID(0x00020322);
inline constexpr IID IID_IEnumMAPIFormProp = DRAVIK_OLEGUID(0x00020323);
inline constexpr IID IID_IMAPIFormInfo = DRAVIK_OLEGUID(0x00020324);
inline constexpr IID IID_IProviderAdmin = DRAVIK_OLEGUID(0x00020325);
inline constexpr IID IID_IMAPIForm = DRAVIK_OLEGUID(0x00020327);

// Property sets of named properties.
inline constexpr GUID PS_MAPI = DRAVIK_OLEGUID(0x00020328);
inline constexpr GUID PS_PUBLIC_STRINGS = DRAVIK_OLEGUID(0x00020329);
inline constexpr GUID PS_INTERNET_HEADERS = DRAVIK_OLEGUID(0x00020386);
inline constexpr GUID PSETID_Appointment = DRAVIK_OLEGUID(0x00062002);
inline constexpr GUID PSETID_Task = DRAVIK_OLEGUID(0x00062003);
inline constexpr GUID PSETID_Address = DRAVIK_OLEGUID(0x00062004);
inline constexpr GUID PSETID_Common = DRAVIK_OLEGUID(0x00062008);
inline constexpr GUID PSETID_Log = DRAVIK_OLEGUID(0x0006200A);
inline constexpr GUID PSETID_Note = DRAVIK_OLEGUID(0x0006200E);
inline constexpr GUID PSETID_Sharing = DRAVIK_OLEGUID(0x00062040);
inline constexpr GUID PSETID_Meeting = {0x6ED8DA90, 0x450B, 0x101B, {0x98, 0xDA, 0x00, 0xAA, 0x00, 0x3F, 0x13, 0x05}};
inline constexpr GUID PSETID_AirSync = {0x71035549, 0x0739, 0x4DCB, {0x91, 0x63, 0x00, 0xF0, 0x58, 0x0D, 0xBB, 0xDF}};
inline constexpr GUID PSETID_UnifiedMessaging = {0x4442858E, 0xA9E3, 0x4E80, {0xB9, 0x00, 0x31, 0x7A, 0x21, 0x0C, 0xC1, 0x5B}};
inline constexpr GUID PS_UNIFIED_MESSAGING = PSETID_UnifiedMessaging;
