// What a ThreadedImageEngine tells its owner (the document). Every message is
// sent on the thread that runs the engine's processing block: the engine's
// serial queue whenever a delegate is set. Implementations move UI work to the
// main queue themselves.
#pragma once

class ThreadedImageEngine;

class ThreadedImageEngineDelegate {
public:
    virtual ~ThreadedImageEngineDelegate() = default;
    // Nothing sends this one; kept for implementers of the protocol.
    virtual void CIImageEngineDidUpdateActiveArea(ThreadedImageEngine&) {}
    virtual void CIImageEngineDidFinish(ThreadedImageEngine& engine) = 0;
    virtual void CIImageEngineDidStart(ThreadedImageEngine& engine) = 0;
    virtual void CIImageEngineNewMetaData(ThreadedImageEngine& engine) = 0;
};
