#include "engine/RawProcessingEngine.h"

#include "platform/Locks.h"

RawProcessingEngine& RawProcessingEngine::sharedRawProcessingEngine() {
    static platform::LazySingleton<RawProcessingEngine> instance;
    return instance.get([] { return new RawProcessingEngine; });
}
