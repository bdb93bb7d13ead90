#pragma once
// Configuration retrieve and upload: the two workers of the operation queue
// and the file-error texts they report.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "explorer/operations/HttpClient.h"
#include "explorer/res/FileDialogRequest.h"

class CQuillbox;

constexpr uint16_t CONFIG_HTTP_PORT = 80;
constexpr const char* CONFIG_RETRIEVE_PATH = "/CGI/mReturnFileCGI?file=ConfigFile.txt";
constexpr const char* CONFIG_UPLOAD_PATH = "/CGI/mUploadCGI?file=ConfigFile.txt";
// "All Files" is "*": on this system a name need not have a dot.
constexpr const char* CONFIG_FILTER = "Configuration Files (*.txt);;All Files (*)";
constexpr const char* CONFIG_STORE_TITLE = "Please enter a filename to store configuration file to";
constexpr const char* CONFIG_LOAD_TITLE = "Please select a filename to load configuration file from ";
constexpr const char* CONFIG_UPLOAD_ERROR = "Configuration Upload error!";
constexpr const char* CONFIG_UPLOAD_NOT_SUPPORTED = "Configuration upload not supported";

// A configuration is a small text: a device that sends more, or sends it
// slower than the floor while the program waits for it, is not believed.
constexpr uint64_t CONFIG_MAX_BYTES = 16u * 1024 * 1024;
constexpr uint64_t CONFIG_FLOOR_BYTES = 1024;
constexpr std::chrono::seconds CONFIG_FLOOR_WINDOW{30};
constexpr HttpFloor CONFIG_BODY_FLOOR{CONFIG_FLOOR_BYTES, CONFIG_FLOOR_WINDOW};

// The store's answer meaning the process's standard output (the command
// line's "-"), written in place.
constexpr const char* CONFIG_STANDARD_OUTPUT = "-";

// Results of the transfer's own, beside the device's and the HTTP layer's
// numbers and the file-error causes; each comes with its text.
constexpr int32_t CONFIG_ERROR_TOO_LARGE = 0x4001;   // the body passed CONFIG_MAX_BYTES
constexpr int32_t CONFIG_ERROR_NO_READER = 0x4002;   // a pipe nobody reads
constexpr int32_t CONFIG_ERROR_FILE_CHANGED = 0x4003;  // the upload's file changed size

// File error causes (1..14) and their texts naming the file.
int FileErrorCause(int errnoValue, bool creating);
std::string FileErrorText(int cause, const std::string& path);

// The administrator user name as the device's services expect it.
std::string AdministratorUser();

// Asked on the worker thread for where to store the body; must return
// nothing (as if cancelled) once `request` is closed. A regular file (or a
// new one) is replaced only once the whole body has arrived; a pipe or a
// character device is written in place; a symbolic link is followed to the
// file it names, which is replaced the same way; anything else is refused.
using StoreFileAsker =
    std::function<std::optional<std::string>(const FileDialogRequest&, const HttpRequest& request)>;

FileDialogRequest StoreDialogRequest(const std::string& initialPath);
FileDialogRequest LoadDialogRequest(const std::string& initialPath);

// Workers: fill q.errorText on failure and return the result code. The
// retrieve's body must keep above `floor` while it is read.
int32_t RetrieveConfigurationWorker(CQuillbox& q, const StoreFileAsker& ask,
                                    const HttpFloor& floor = CONFIG_BODY_FLOOR);
int32_t UploadConfigurationWorker(CQuillbox& q);
