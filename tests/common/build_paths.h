#pragma once
// Where this build's sources, outputs and tools are. They live in one generated file
// (build_paths.cpp in the build folder) rather than on the tests' compile lines: a
// clone in another folder then compiles every test to the same object, which the
// compile cache serves, and only that small file again.
#include <string>

namespace qvbuild {
extern const char* const kSourceDir;
extern const char* const kBinaryDir;
extern const char* const kCmakeCommand;
extern const char* const kSampleStage;
extern const char* const kSampleArchive;
extern const char* const kXvfb;
extern const char* const kWeston;
extern const char* const kDbusDaemon;
extern const char* const kSystemPython;
extern const char* const kNotifyRecorder;
extern const char* const kFakeClient;
extern const char* const kNsStopHelper;
extern const char* const kSequenceHelper;
extern const char* const kFctQtHelper;
extern const char* const kDebDir;
extern const char* const kDebI386Dir;
}  // namespace qvbuild

#define QV_SOURCE_DIR std::string(qvbuild::kSourceDir)
#define QV_BINARY_DIR std::string(qvbuild::kBinaryDir)
#define QV_CMAKE_COMMAND std::string(qvbuild::kCmakeCommand)
#define QV_SAMPLE_STAGE std::string(qvbuild::kSampleStage)
#define QV_SAMPLE_ARCHIVE std::string(qvbuild::kSampleArchive)
#define QV_XVFB std::string(qvbuild::kXvfb)
#define QV_WESTON std::string(qvbuild::kWeston)
#define QV_DBUS_DAEMON std::string(qvbuild::kDbusDaemon)
#define QV_SYSTEM_PYTHON std::string(qvbuild::kSystemPython)
#define QV_ATSPI_FOLLOW (QV_SOURCE_DIR + "/tests/e2e/atspi_follow.py")
#define QV_NOTIFY_RECORDER std::string(qvbuild::kNotifyRecorder)
#define QV_FAKE_CLIENT std::string(qvbuild::kFakeClient)
#define QV_NS_STOP_HELPER std::string(qvbuild::kNsStopHelper)
#define QV_SEQUENCE_HELPER std::string(qvbuild::kSequenceHelper)
#define FCT_QT_HELPER std::string(qvbuild::kFctQtHelper)
#define QV_DEB_DIR std::string(qvbuild::kDebDir)
#define QV_DEB_I386_DIR std::string(qvbuild::kDebI386Dir)
