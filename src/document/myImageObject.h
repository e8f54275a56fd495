// A browser item known only by its path: the representation is the path
// itself, which also identifies it. The browser lists FSNodeInfo nodes;
// nothing in the program makes one of these.
#pragma once

#include <string>

class myImageObject {
public:
    // The representation is a file path.
    static constexpr const char* kPathRepresentationType = "path";

    const std::string& path() const { return path_; }
    void setPath(std::string path) { path_ = std::move(path); }

    const char* imageRepresentationType() const { return kPathRepresentationType; }
    const std::string& imageRepresentation() const { return path_; }
    const std::string& imageUID() const { return path_; }

private:
    std::string path_;
};
