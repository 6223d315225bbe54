#include "list/EditPropDlg.h"

void RunPropertyEditor(const SPropValue*, IMAPIProp*, bool)
{
}
