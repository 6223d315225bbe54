// The names of named properties: the property sets and the canonical PidLid
// and PidName names that the public property list (MS-OXPROPS) gives them,
// from the table in NamedPropNames.inc.
#pragma once

#include "props/Mapi.h"

#include <string>

// The name of a property set ("PSETID_Appointment", "PS_PUBLIC_STRINGS"), or
// null for a set the table does not know.
const char* PropertySetName(const GUID& guid);

// The canonical name of a named property ("PidLidAppointmentStartWhole",
// "PidNameKeywords"), or null when the table does not name it.
const char* CanonicalNamedPropName(const MAPINAMEID& name);

// The named-property identity as one text:
//   "0x00008205 PidLidBusyStatus (PSETID_Appointment)" for a numeric name,
//   "\"Keywords\" PidNameKeywords (PS_PUBLIC_STRINGS)" for a string name;
// the canonical name is left out when unknown, the set when unknown too.
std::string NamedPropIdentity(const MAPINAMEID& name);

// The canonical name and the set as the named-property list shows them:
// "PidLidBusyStatus (PSETID_Appointment)", the set alone when the name is not
// known, empty when neither is.
std::string NamedPropCanonicalText(const MAPINAMEID& name);
