// The values of a multi-valued property one by one: each element as a value
// of the base type, and the whole property as text with one value a line,
// each line the text PropValueToText gives a single value of that type.
#pragma once

#include "props/Mapi.h"

#include <string>

// Element i of a multi-valued value, as a single value of the base type with
// the same property ID (pointing into the multi-valued value's memory). FALSE
// when pProp is not multi-valued, its type is not one MAPI defines, or i is
// out of range.
BOOL MultiValueElement(const SPropValue* pProp, ULONG i, SPropValue& element);

// The number of values of a multi-valued value; 0 for any other value.
ULONG MultiValueCount(const SPropValue* pProp);

// The values' texts joined by line feeds, cut as a whole to at most
// cchText - 1 bytes after the last whole character. Each value is rendered as
// a single value would be in a buffer of cchText bytes.
std::string MultiValueLines(const SPropValue* pProp, UINT cchText);
