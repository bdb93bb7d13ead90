#pragma once
// Configuration retrieve and upload: the two workers of the operation queue
// and the file-error texts they report.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class CQuillbox;
class HttpRequest;

constexpr uint16_t CONFIG_HTTP_PORT = 80;
constexpr const char* CONFIG_RETRIEVE_PATH = "/CGI/mReturnFileCGI?file=ConfigFile.txt";
constexpr const char* CONFIG_UPLOAD_PATH = "/CGI/mUploadCGI?file=ConfigFile.txt";
// "All Files" is "*": on this system a name need not have a dot.
constexpr const char* CONFIG_FILTER = "Configuration Files (*.txt);;All Files (*)";
constexpr const char* CONFIG_STORE_TITLE = "Please enter a filename to store configuration file to";
constexpr const char* CONFIG_LOAD_TITLE = "Please select a filename to load configuration file from ";
constexpr const char* CONFIG_UPLOAD_ERROR = "Configuration Upload error!";
constexpr const char* CONFIG_UPLOAD_NOT_SUPPORTED = "Configuration upload not supported";

// What a file dialog is asked to show; the user-interface side decides how.
struct FileDialogRequest {
  bool save = false;
  std::string title;
  std::string filter;       // Qt filter text, e.g. "Text files (*.txt);;All files (*)"
  std::string initialPath;  // name or full path shown at first
  std::string defaultSuffix;
};

// File error causes (1..14) and their texts naming the file.
int FileErrorCause(int errnoValue, bool creating);
std::string FileErrorText(int cause, const std::string& path);

// The administrator user name as the device's services expect it.
std::string AdministratorUser();

// Asked on the worker thread for where to store the body; must return
// nothing (as if cancelled) once `request` is closed.
using StoreFileAsker =
    std::function<std::optional<std::string>(const FileDialogRequest&, const HttpRequest& request)>;

FileDialogRequest StoreDialogRequest(const std::string& initialPath);
FileDialogRequest LoadDialogRequest(const std::string& initialPath);

// Workers: fill q.errorText on failure and return the result code.
int32_t RetrieveConfigurationWorker(CQuillbox& q, const StoreFileAsker& ask);
int32_t UploadConfigurationWorker(CQuillbox& q);
