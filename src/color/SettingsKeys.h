// The names of a document's settings, in one place: every stage, the colour
// maths, the document and the presets spell a key through these constants, so
// a typo fails to compile instead of quietly reading or creating a new key.
// Grouped by what a key drives; the stage a change re-runs is the key table
// in ThreadedImageEngine.cpp.
#pragma once

namespace SettingsKeys {

// Every settings key starts with this; "Quorvex_Filter_" marks the sliders.
inline constexpr const char* kPrefix = "Quorvex_";
inline constexpr const char* kFilterPrefix = "Quorvex_Filter_";

// Exposure and tone.
inline constexpr const char* kInputEV = "Quorvex_Filter_inputEV";
inline constexpr const char* kInputContrast = "Quorvex_Filter_inputContrast";
inline constexpr const char* kInputBrightness = "Quorvex_Filter_inputBrightness";
inline constexpr const char* kInputFillLight = "Quorvex_Filter_inputFillLight";
inline constexpr const char* kInputHighLight = "Quorvex_Filter_inputHighLight";
inline constexpr const char* kInputKneeHigh = "Quorvex_Filter_inputKneeHigh";
inline constexpr const char* kInputKneeLow = "Quorvex_Filter_inputKneeLow";
inline constexpr const char* kEttrAdjust = "Quorvex_ettrAdjust";
inline constexpr const char* kToneCurveAdjust = "Quorvex_toneCurveAdjust";
inline constexpr const char* kSceneReferred = "Quorvex_SceneReferred";
inline constexpr const char* kMaintainWhites = "Quorvex_MaintainWhites";

// Colour.
inline constexpr const char* kInputSaturation = "Quorvex_Filter_inputSaturation";
inline constexpr const char* kInputAngle = "Quorvex_Filter_inputAngle";
inline constexpr const char* kInputTemperature = "Quorvex_Filter_inputTemperature";
inline constexpr const char* kInputTint = "Quorvex_Filter_inputTint";
inline constexpr const char* kUseAsShotWB = "Quorvex_UseAsShotWB";
inline constexpr const char* kCameraProfile = "Quorvex_CameraProfile";
inline constexpr const char* kIccProfile = "Quorvex_iccProfile";
inline constexpr const char* kMonochromeRed = "Quorvex_Filter_monochromeRed";
inline constexpr const char* kMonochromeYellow = "Quorvex_Filter_monochromeYellow";
inline constexpr const char* kMonochromeGreen = "Quorvex_Filter_monochromeGreen";
inline constexpr const char* kMonochromeCyan = "Quorvex_Filter_monochromeCyan";
inline constexpr const char* kMonochromeBlue = "Quorvex_Filter_monochromeBlue";

// Sensor and raw decoding.
inline constexpr const char* kMonochromeSensor = "Quorvex_MonochromeSensor";
inline constexpr const char* kIRUVSensor = "Quorvex_IRUVSensor";
inline constexpr const char* kArtifactSuppression = "Quorvex_ArtifactSuppression";
inline constexpr const char* kChromaArtifactSuppression = "Quorvex_ChromaArtifactSuppression";
inline constexpr const char* kArtifactFilter = "Quorvex_ArtifactFilter";

// Sharpening.
inline constexpr const char* kInputRadius = "Quorvex_Filter_inputRadius";
inline constexpr const char* kInputIntensity = "Quorvex_Filter_inputIntensity";

// Geometry.
inline constexpr const char* kCropX = "Quorvex_CropRect_x";
inline constexpr const char* kCropY = "Quorvex_CropRect_y";
inline constexpr const char* kCropWidth = "Quorvex_CropRect_width";
inline constexpr const char* kCropHeight = "Quorvex_CropRect_height";
inline constexpr const char* kImageOrientation = "Quorvex_ImageOrientation";

// Export.
inline constexpr const char* kExportFileType = "Quorvex_ExportFileType";
inline constexpr const char* kJPEGQuality = "Quorvex_JPEGQuality";

// Bookkeeping: identities, the source's metadata (read-only), the engine's
// note that the visible rectangle changed.
inline constexpr const char* kUUID = "Quorvex_UUID";
inline constexpr const char* kPresetUUID = "Quorvex_PresetUUID";
inline constexpr const char* kMetaData = "Quorvex_metaData";
inline constexpr const char* kActiveRectDirty = "Quorvex_ActiveRectDirty";

}  // namespace SettingsKeys
