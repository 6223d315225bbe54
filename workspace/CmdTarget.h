// Command routing: every object that owns commands answers, for a command
// id, whether it handles it (and then whether it is enabled or checked), and
// runs it. A command no object on the route handles is disabled.
#pragma once

struct CCmdUI
{
    bool bEnabled = true;
    bool bChecked = false;
};

class CCmdTarget
{
public:
    // TRUE when this object handles nId; then rUI says how it shows.
    virtual bool OnUpdateCommand(int nId, CCmdUI& rUI) = 0;
    // Runs nId; TRUE when this object handled it.
    virtual bool OnCommand(int nId) = 0;

    virtual ~CCmdTarget() = default;
};

// A view of a document: rebuilt from the document's state on every update.
class CDocView
{
public:
    virtual void OnUpdate(CDocView* pSender, long lHint, void* pHint) = 0;

protected:
    ~CDocView() = default;
};
