#include "ui/InspectorController.h"

#include <QApplication>
#include <QHeaderView>
#include <QMenuBar>
#include <QStandardItemModel>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <exception>

#include "platform/Log.h"
#include "raw/RawMetadata.h"
#include "ui/ApplicationShell.h"
#include "ui/WindowPlacement.h"

namespace {

using platform::Value;

const std::vector<InspectorProperty>& buildTable() {
    const char* top = nullptr;
    const char* tiff = kCGImagePropertyTIFFDictionary;
    const char* exif = kCGImagePropertyExifDictionary;
    const char* aux = kCGImagePropertyExifAuxDictionary;
    const char* dng = kCGImagePropertyDNGDictionary;
    const char* gps = kCGImagePropertyGPSDictionary;
    static const std::vector<InspectorProperty> table = {
        {top, kCGImagePropertyPixelWidth, 1, nullptr},
        {top, kCGImagePropertyPixelHeight, 1, nullptr},
        {top, kCGImagePropertyDepth, 1, nullptr},
        {tiff, kCGImagePropertyTIFFCompression, 1, nullptr},
        {tiff, kCGImagePropertyTIFFPhotometricInterpretation, 2, nullptr},
        {tiff, kCGImagePropertyTIFFImageDescription, 1, nullptr},
        {tiff, kCGImagePropertyTIFFMake, 1, nullptr},
        {tiff, kCGImagePropertyTIFFModel, 1, nullptr},
        {tiff, kCGImagePropertyTIFFOrientation, 1, nullptr},
        {tiff, kCGImagePropertyTIFFXResolution, 1, nullptr},
        {tiff, kCGImagePropertyTIFFYResolution, 1, nullptr},
        {tiff, kCGImagePropertyTIFFResolutionUnit, 1, nullptr},
        {tiff, kCGImagePropertyTIFFTransferFunction, 1, nullptr},
        {tiff, kCGImagePropertyTIFFSoftware, 1, nullptr},
        {tiff, kCGImagePropertyTIFFDateTime, 1, nullptr},
        {tiff, kCGImagePropertyTIFFArtist, 1, nullptr},
        {tiff, kCGImagePropertyTIFFHostComputer, 1, nullptr},
        {tiff, kCGImagePropertyTIFFWhitePoint, 1, nullptr},
        {tiff, kCGImagePropertyTIFFPrimaryChromaticities, 1, nullptr},
        {tiff, kCGImagePropertyTIFFCopyright, 1, nullptr},
        {exif, kCGImagePropertyExifExposureTime, 3, nullptr},
        {exif, kCGImagePropertyExifFNumber, 4, nullptr},
        {exif, kCGImagePropertyExifExposureProgram, 5, nullptr},
        {exif, kCGImagePropertyExifSpectralSensitivity, 0, nullptr},
        {exif, kCGImagePropertyExifISOSpeedRatings, 1, "ISO Speed Ratings"},
        {exif, kCGImagePropertyExifOECF, 0, "OECF"},
        {exif, kCGImagePropertyExifVersion, 6, nullptr},
        {exif, kCGImagePropertyExifDateTimeOriginal, 1, nullptr},
        {exif, kCGImagePropertyExifDateTimeDigitized, 1, nullptr},
        {exif, kCGImagePropertyExifComponentsConfiguration, 1, nullptr},
        {exif, kCGImagePropertyExifCompressedBitsPerPixel, 1, nullptr},
        {exif, kCGImagePropertyExifShutterSpeedValue, 7, nullptr},
        {exif, kCGImagePropertyExifApertureValue, 8, nullptr},
        {exif, kCGImagePropertyExifBrightnessValue, 9, nullptr},
        {exif, kCGImagePropertyExifExposureBiasValue, 1, nullptr},
        {exif, kCGImagePropertyExifMaxApertureValue, 8, nullptr},
        {exif, kCGImagePropertyExifSubjectDistance, 1, nullptr},
        {exif, kCGImagePropertyExifMeteringMode, 10, nullptr},
        {exif, kCGImagePropertyExifLightSource, 11, nullptr},
        {exif, kCGImagePropertyExifFlash, 12, nullptr},
        {exif, kCGImagePropertyExifFocalLength, 1, nullptr},
        {exif, kCGImagePropertyExifSubjectArea, 1, nullptr},
        {exif, kCGImagePropertyExifMakerNote, 0, nullptr},
        {exif, kCGImagePropertyExifUserComment, 1, nullptr},
        {exif, kCGImagePropertyExifSubsecTime, 1, nullptr},
        {exif, kCGImagePropertyExifSubsecTimeOrginal, 1, nullptr},
        {exif, kCGImagePropertyExifSubsecTimeDigitized, 1, nullptr},
        {exif, kCGImagePropertyExifFlashPixVersion, 6, "FlashPix Version"},
        {exif, kCGImagePropertyExifColorSpace, 1, nullptr},
        {exif, kCGImagePropertyExifPixelXDimension, 1, nullptr},
        {exif, kCGImagePropertyExifPixelYDimension, 1, nullptr},
        {exif, kCGImagePropertyExifRelatedSoundFile, 1, nullptr},
        {exif, kCGImagePropertyExifFlashEnergy, 13, nullptr},
        {exif, kCGImagePropertyExifSpatialFrequencyResponse, 1, nullptr},
        {exif, kCGImagePropertyExifFocalPlaneXResolution, 1, nullptr},
        {exif, kCGImagePropertyExifFocalPlaneYResolution, 1, nullptr},
        {exif, kCGImagePropertyExifFocalPlaneResolutionUnit, 23, nullptr},
        {exif, kCGImagePropertyExifSubjectLocation, 1, nullptr},
        {exif, kCGImagePropertyExifExposureIndex, 1, nullptr},
        {exif, kCGImagePropertyExifSensingMethod, 14, nullptr},
        {exif, kCGImagePropertyExifFileSource, 15, nullptr},
        {exif, kCGImagePropertyExifSceneType, 16, nullptr},
        {exif, kCGImagePropertyExifCFAPattern, 1, "CFA Pattern"},
        {exif, kCGImagePropertyExifCustomRendered, 17, nullptr},
        {exif, kCGImagePropertyExifExposureMode, 18, nullptr},
        {exif, kCGImagePropertyExifWhiteBalance, 19, nullptr},
        {exif, kCGImagePropertyExifDigitalZoomRatio, 1, nullptr},
        {exif, kCGImagePropertyExifFocalLenIn35mmFilm, 1, "Focal Length In 35mm Film"},
        {exif, kCGImagePropertyExifSceneCaptureType, 20, nullptr},
        {exif, kCGImagePropertyExifGainControl, 21, nullptr},
        {exif, kCGImagePropertyExifContrast, 22, nullptr},
        {exif, kCGImagePropertyExifSaturation, 22, nullptr},
        {exif, kCGImagePropertyExifSharpness, 22, nullptr},
        {exif, kCGImagePropertyExifDeviceSettingDescription, 1, nullptr},
        {exif, kCGImagePropertyExifSubjectDistRange, 1, nullptr},
        {exif, kCGImagePropertyExifImageUniqueID, 1, "Image Unique ID"},
        {aux, kCGImagePropertyExifAuxSerialNumber, 1, nullptr},
        {aux, kCGImagePropertyExifAuxOwnerName, 1, nullptr},
        {aux, kCGImagePropertyExifAuxLensInfo, 1, nullptr},
        {aux, kCGImagePropertyExifAuxLensModel, 1, nullptr},
        {aux, kCGImagePropertyExifAuxLensSerialNumber, 1, nullptr},
        {exif, kCGImagePropertyExifGamma, 1, nullptr},
        {dng, kCGImagePropertyDNGVersion, 6, "DNG Version"},
        {dng, kCGImagePropertyDNGBackwardVersion, 6, "DNG Backward Version"},
        {dng, kCGImagePropertyDNGUniqueCameraModel, 1, nullptr},
        {dng, kCGImagePropertyDNGLocalizedCameraModel, 1, nullptr},
        {dng, kCGImagePropertyDNGCameraSerialNumber, 1, nullptr},
        {dng, kCGImagePropertyDNGLensInfo, 1, nullptr},
        {gps, kCGImagePropertyGPSVersion, 6, "GPS Version"},
        {gps, kCGImagePropertyGPSLatitudeRef, 25, nullptr},
        {gps, kCGImagePropertyGPSLatitude, 24, nullptr},
        {gps, kCGImagePropertyGPSLongitudeRef, 25, nullptr},
        {gps, kCGImagePropertyGPSLongitude, 24, nullptr},
        {gps, kCGImagePropertyGPSAltitudeRef, 26, nullptr},
        {gps, kCGImagePropertyGPSAltitude, 1, nullptr},
        {gps, kCGImagePropertyGPSTimeStamp, 1, nullptr},
        {gps, kCGImagePropertyGPSSatellites, 1, nullptr},
        {gps, kCGImagePropertyGPSStatus, 1, nullptr},
        {gps, kCGImagePropertyGPSMeasureMode, 1, nullptr},
        {gps, kCGImagePropertyGPSDOP, 1, nullptr},
        {gps, kCGImagePropertyGPSSpeedRef, 1, nullptr},
        {gps, kCGImagePropertyGPSSpeed, 1, nullptr},
        {gps, kCGImagePropertyGPSTrackRef, 1, nullptr},
        {gps, kCGImagePropertyGPSTrack, 1, nullptr},
        {gps, kCGImagePropertyGPSImgDirectionRef, 1, nullptr},
        {gps, kCGImagePropertyGPSImgDirection, 1, nullptr},
        {gps, kCGImagePropertyGPSMapDatum, 1, nullptr},
        {gps, kCGImagePropertyGPSDestLatitudeRef, 25, nullptr},
        {gps, kCGImagePropertyGPSDestLatitude, 24, nullptr},
        {gps, kCGImagePropertyGPSDestLongitudeRef, 25, nullptr},
        {gps, kCGImagePropertyGPSDestLongitude, 24, nullptr},
        {gps, kCGImagePropertyGPSDestBearingRef, 1, nullptr},
        {gps, kCGImagePropertyGPSDestBearing, 1, nullptr},
        {gps, kCGImagePropertyGPSDestDistanceRef, 1, nullptr},
        {gps, kCGImagePropertyGPSDestDistance, 1, nullptr},
        {gps, kCGImagePropertyGPSProcessingMethod, 1, nullptr},
        {gps, kCGImagePropertyGPSAreaInformation, 1, nullptr},
        {gps, kCGImagePropertyGPSDateStamp, 1, nullptr},
        {gps, kCGImagePropertyGPSDifferental, 1, nullptr},
    };
    return table;
}

template <class... Args>
std::string format(const char* pattern, Args... args) {
    char text[128];
    std::snprintf(text, sizeof text, pattern, args...);
    return text;
}

std::string trimmed(const std::string& s) {
    const char* space = " \t\n\r\f\v";
    const auto first = s.find_first_not_of(space);
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(space) - first + 1);
}

bool equalsIgnoringCase(const std::string& a, const char* b) {
    const std::string other(b);
    return a.size() == other.size() &&
           std::equal(a.begin(), a.end(), other.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// What the value would print as when nothing else fits.
std::string description(const Value& v) {
    switch (v.type()) {
        case Value::Type::Null:
            return "(null)";
        case Value::Type::Bool:
            return v.boolValue() ? "1" : "0";
        case Value::Type::Integer:
            return std::to_string(v.integerValue());
        case Value::Type::Real:
            return format("%g", v.realValue());
        case Value::Type::String:
            return v.string();
        case Value::Type::Data: {
            std::string text = "<";
            for (size_t i = 0; i < v.data().size() && i < 32; ++i)
                text += format("%02x", unsigned(v.data()[i]));
            return text + (v.data().size() > 32 ? "...>" : ">");
        }
        case Value::Type::Date:
            return format("%.0f", v.date().secondsSince1970);
        case Value::Type::Array: {
            std::string text;
            for (const auto& e : v.array())
                text = InspectorController::appendWithSeparator(text, description(e), ", ");
            return "(" + text + ")";
        }
        case Value::Type::Dictionary:
            return "{" + std::to_string(v.dictionary().size()) + " entries}";
        case Value::Type::Object:
            return "<object>";
    }
    return {};
}

std::string exposureText(double t) {
    if (t < 1) return format("1/%1.0f", 1 / t);
    if (t < 10) return format("%1.1f", t);
    return format("%1.0f", t);
}

std::string apertureText(double f) { return f < 1 ? format("%1.2f", f) : format("%1.1f", f); }

std::string pick(int n, std::initializer_list<const char*> names) {
    if (n < 0 || size_t(n) >= names.size()) return {};
    return *(names.begin() + n);
}

std::string flashText(int n) {
    std::string text = (n & 1) ? "Flash fired" : "Flash did not fire";
    auto add = [&](const char* s) {
        text = InspectorController::appendWithSeparator(text, s, "; ");
    };
    switch ((n >> 1) & 3) {
        case 2:
            add("strobe return light not detected");
            break;
        case 3:
            add("strobe return light detected");
            break;
    }
    switch ((n >> 3) & 3) {
        case 1:
            add("compulsory flash firing");
            break;
        case 2:
            add("compulsory flash suppression");
            break;
        case 3:
            add("auto mode");
            break;
    }
    add((n & 0x20) ? "no flash function present" : "flash function present");
    if (n & 0x40) add("red-eye reduction supported");
    return text;
}

}  // namespace

const std::vector<InspectorProperty>& InspectorController::propertyTable() { return buildTable(); }

int InspectorController::itemIndex(const std::string& key) {
    const auto& table = propertyTable();
    for (size_t i = 0; i < table.size(); ++i)
        if (key == table[i].key) return int(i);
    return -1;
}

std::string InspectorController::prettyName(const std::string& key) {
    if (key.size() <= 2) return key;
    std::string name = key;
    size_t from = 1;
    while (name.size() - from >= 2) {
        size_t at = from;
        while (at < name.size() && !std::isupper(static_cast<unsigned char>(name[at]))) ++at;
        if (at == name.size()) break;
        name.insert(at, " ");
        from = at + 2;
    }
    return name;
}

std::string InspectorController::appendWithSeparator(const std::string& text,
                                                     const std::string& append,
                                                     const std::string& separator) {
    return text.empty() ? append : text + separator + append;
}

std::string InspectorController::prettyValue(const Value& value, int index) {
    const auto& table = propertyTable();
    const int fmt = index >= 0 && size_t(index) < table.size() ? table[size_t(index)].format : 1;
    std::optional<std::string> T;
    int N = 0;
    double F = 0;
    if (value.isString()) T = trimmed(value.string());
    if (value.isNumber()) {
        F = value.realValue();
        // Codes beyond the int range saturate rather than wrap.
        N = int(std::clamp<int64_t>(value.integerValue(), INT_MIN, INT_MAX));
    }

    auto general = [&]() -> std::string {
        if (T) return *T;
        if (value.isReal()) return F >= 1000 ? format("%.5g", F) : format("%.3g", F);
        if (value.isNumber()) return format("%i", N);
        if (value.isArray()) {
            const auto& items = value.array();
            if (items.size() == 1) return prettyValue(items[0], index);
            std::string text;
            for (const auto& item : items)
                text = appendWithSeparator(text, prettyValue(item, index), ", ");
            if (text.size() > 20) text = text.substr(0, 17) + "...";
            return "( " + text + " )";
        }
        return description(value);
    };
    auto orGeneral = [&](const std::string& text) { return text.empty() ? general() : text; };

    switch (fmt) {
        case 2:
            return N == 2 ? "RGB" : general();
        case 3:
        case 7: {
            const double t = fmt == 3 ? F : std::pow(2.0, -F);
            // No "1/inf" for a zero, negative or unbounded time.
            if (!(t > 0) || !std::isfinite(t) || !std::isfinite(1 / t)) return general();
            return exposureText(t);
        }
        case 4:
            return apertureText(F);
        case 8:
            return apertureText(std::pow(2.0, F / 2));
        case 5:
            return orGeneral(pick(N, {"Undefined", "Manual", "Normal program", "Aperture priority",
                                      "Shutter priority", "Creative program", "Action program",
                                      "Portrait mode", "Landscape mode"}));
        case 6: {
            if (!value.isArray()) return "";
            std::string text;
            for (const auto& item : value.array())
                text = appendWithSeparator(text, description(item), ".");
            return text;
        }
        case 9:
            return format("%1.5g ft-L", std::pow(2.0, F));
        case 10:
            return N >= 1 && N <= 6 ? pick(N, {"", "Average", "Center Weighted Average", "Spot",
                                               "MultiSpot", "Pattern", "Partial"})
                                    : "Other";
        case 11:
            if (N >= 5 && N <= 8) return "Other";
            return orGeneral(N > 24 ? "Other"
                                    : pick(N, {"Unknown",
                                               "Daylight",
                                               "Fluorescent",
                                               "Tungsten (incandescent light)",
                                               "Flash",
                                               "",
                                               "",
                                               "",
                                               "",
                                               "Fine weather",
                                               "Cloudy weather",
                                               "Shade",
                                               "Daylight fluorescent (D 5700 - 7100K)",
                                               "Day white fluorescent (N 4600 - 5500K)",
                                               "Cool white fluorescent (W 3800 - 4500K)",
                                               "White fluorescent (WW 3250 - 3800K)",
                                               "Warm white fluorescent (L 2600 - 3250K)",
                                               "Standard light A",
                                               "Standard light B",
                                               "Standard light C",
                                               "D55",
                                               "D65",
                                               "D75",
                                               "D50",
                                               "ISO studio tungsten"}));
        case 12:
            return flashText(N);
        case 13:
            return format("%1.5g BCPS", F);
        case 14:
            return orGeneral(
                N > 8 ? "Other"
                      : pick(N, {"None", "Not defined", "One-chip color area sensor",
                                 "Two-chip color area sensor", "Three-chip color area sensor",
                                 "Color sequential area sensor", "Other", "Trilinear sensor",
                                 "Color sequential linear sensor"}));
        case 15:
            return orGeneral(N > 3 ? "Other"
                                   : pick(N, {"Others", "Scanner of transparent type",
                                              "Scanner of reflex type", "Digital camera"}));
        case 16:
            return N == 1 ? "A directly photographed image" : general();
        case 17:
            return orGeneral(pick(N, {"Normal process", "Custom process"}));
        case 18: {
            std::string text = pick(N, {"Auto exposure", "Manual exposure", "Auto bracket"});
            return text.empty() ? "Other" : text;
        }
        case 19:
            return orGeneral(pick(N, {"Auto white balance", "Manual white balance"}));
        case 20:
            return orGeneral(pick(N, {"Standard", "Landscape", "Portrait", "Night scene"}));
        case 21:
            return orGeneral(pick(
                N, {"None", "Low gain up", "High gain up", "Low gain down", "High gain down"}));
        case 22:
            return orGeneral(pick(N, {"Normal", "Low", "High"}));
        case 23:
            return N == 2 ? "Inches" : N == 3 ? "Centimeters" : general();
        case 24: {
            if (!std::isfinite(F) || std::fabs(F) > 1e6) return general();
            const int d = int(F);
            const double minutes = (F - d) * 60;
            const int m = int(minutes);
            const double s = (minutes - m) * 60;
            return format("%i\u00b0 %i\" %2.2f'", d, m, s);
        }
        case 25:
            if (T) {
                if (equalsIgnoringCase(*T, "N")) return "North";
                if (equalsIgnoringCase(*T, "S")) return "South";
                if (equalsIgnoringCase(*T, "W")) return "West";
                if (equalsIgnoringCase(*T, "E")) return "East";
            }
            return general();
        case 26:
            return N == 0   ? "Sea level"
                   : N == 1 ? "Sea level reference (negative value)"
                            : general();
        default:
            return general();
    }
}

std::vector<InspectorNode> InspectorController::propTree(const platform::Dictionary& dictionary) {
    std::vector<std::string> keys = dictionary.keys();
    std::sort(keys.begin(), keys.end());
    std::vector<InspectorNode> nodes;
    for (const auto& key : keys) {
        try {
            const Value& value = dictionary[key];
            if (value.isDictionary()) {
                InspectorNode group{key, "", propTree(value.dictionary())};
                const std::pair<const char*, const char*> labels[] = {
                    {kCGImagePropertyTIFFDictionary, "TIFF Metadata"},
                    {kCGImagePropertyExifDictionary, "EXIF Metadata"},
                    {kCGImagePropertyExifAuxDictionary, "EXIF Auxiliary Metadata"},
                    {kCGImagePropertyDNGDictionary, "DNG Metadata"},
                    {kCGImagePropertyGPSDictionary, "GPS Data"}};
                for (const auto& [groupKey, label] : labels)
                    if (equalsIgnoringCase(key, groupKey)) group.key = label;
                nodes.push_back(std::move(group));
                continue;
            }
            const int index = itemIndex(key);
            if (index < 0) continue;
            const InspectorProperty& row = propertyTable()[size_t(index)];
            if (row.format == 0) continue;
            nodes.push_back(
                {row.label ? row.label : prettyName(key), prettyValue(value, index), {}});
        } catch (const std::exception& e) {
            platform::log("MetaData exception: %s - %s", "-[InspectorController propTree:]",
                          e.what());
        }
    }
    return nodes;
}

// ---------------------------------------------------------------- window

InspectorController::InspectorController(QWidget* parent) : QWidget(parent, Qt::Tool) {
    setObjectName(QStringLiteral("Inspector"));
    setWindowTitle(QStringLiteral("Inspector"));
    model_ = new QStandardItemModel(this);
    model_->setHorizontalHeaderLabels({QStringLiteral("Property"), QStringLiteral("Value")});
    view_ = new QTreeView;
    view_->setModel(model_);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->setAlternatingRowColors(true);
    view_->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setMenuBar(platform::ApplicationShell::shared().createMenuBar(this));
    layout->addWidget(view_);
    resize(460, 560);
}

namespace {

void addNodes(QStandardItem* parent, const std::vector<InspectorNode>& nodes) {
    for (const auto& node : nodes) {
        auto* key = new QStandardItem(QString::fromStdString(node.key));
        auto* val = new QStandardItem(QString::fromStdString(node.val));
        addNodes(key, node.children);
        parent->appendRow({key, val});
    }
}

}  // namespace

void InspectorController::setData(const platform::Value& dictionary) {
    if (dictionary == theData_ && model_->rowCount() > 0) return;
    theData_ = dictionary;
    model_->removeRows(0, model_->rowCount());
    if (dictionary.isDictionary())
        addNodes(model_->invisibleRootItem(), propTree(dictionary.dictionary()));
    view_->expandAll();
}

InspectorController* InspectorController::shared(bool create) {
    static QPointer<InspectorController> inspector;
    if (!inspector && create) inspector = new InspectorController;
    return inspector;
}

void InspectorController::installInspectorHooks() {
    platform::ApplicationShell::InspectorHooks hooks;
    hooks.exists = [] { return shared(false) != nullptr; };
    hooks.setData = [](const platform::Value& data) {
        if (auto* inspector = shared(false)) inspector->setData(data);
    };
    hooks.show = [] {
        auto* inspector = shared(true);
        platform::placeOnScreen(inspector, QApplication::activeWindow());
        inspector->show();
        inspector->raise();
    };
    platform::ApplicationShell::shared().setInspectorHooks(std::move(hooks));
}
