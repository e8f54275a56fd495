// An empty process-wide singleton kept for its place in the engine's object
// graph; it has no operations.
#pragma once

class RawProcessingEngine {
public:
    static RawProcessingEngine& sharedRawProcessingEngine();
    RawProcessingEngine(const RawProcessingEngine&) = delete;
    RawProcessingEngine& operator=(const RawProcessingEngine&) = delete;

private:
    RawProcessingEngine() = default;
};
