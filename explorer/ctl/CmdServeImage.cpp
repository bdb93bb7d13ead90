// serve-image: the upgrade library's TFTP server, until a device has fetched a file.
#include <memory>

#include "explorer/ctl/CommandLine.h"

namespace ctl {
namespace {

struct ServeOptions {
  std::string image;
  int timeout = 100;
};

}  // namespace

CLI::App* AddServeImageCommand(CLI::App& app, CommandResult& result) {
  auto o = std::make_shared<ServeOptions>();
  CLI::App* serve = app.add_subcommand(
      "serve-image", "serve IMAGE's folder over TFTP (port 69) until a device has fetched a file");
  serve->add_option("IMAGE", o->image, "the image a device will fetch")->type_name("")->required();
  // The library's wait ends by itself after 100 s.
  serve->add_option("--timeout", o->timeout, "give up after S seconds (1-100)")
      ->type_name("S")
      ->check(CLI::Range(1, 100).description(""))
      ->capture_default_str();
  serve->callback([o, &result] {
    result.exitCode = RunCommand(nullptr, [&] { return ServeImageCommand(o->image, o->timeout); });
  });
  return serve;
}

}  // namespace ctl
