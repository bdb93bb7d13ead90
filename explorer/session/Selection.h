#pragma once
// What the window offers for the devices selected in its list, and the
// texts of a command run over several of them. Plain decisions: the window
// only shows them.
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "explorer/protocol/DeviceMessages.h"
#include "explorer/protocol/SetNetwork.h"

class CQuillbox;

// One action button: whether it is offered and, when not, why (its tooltip).
struct ActionOffer {
  bool enabled = false;
  std::string whyNot;
};

struct SelectionOffers {
  ActionOffer web, getConfig, setConfig, upgrade, setIp, test;
  bool telnetCaption = false;  // button 1 reads "Configuration"
};

// `selected` in list order. A device without an address anywhere in the
// selection leaves only Set IP address; the kind rules come from the first
// selected device (the upgrade command still takes every selected row);
// Set IP address takes one device at a time.
SelectionOffers OffersForSelection(const std::vector<const DeviceRecord*>& selected);

// A click on Exit this soon after the busy display ended is the second half
// of a double click on Cancel, not a wish to quit.
constexpr std::chrono::milliseconds EXIT_GUARD{500};
bool ExitGuarded(std::chrono::milliseconds sinceBusyEnded);

// "Use <path> for the other N selected devices?"
std::string SameImageQuestion(const std::string& path, int others);
constexpr const char* SAME_IMAGE_CAPTION = "Upgrade firmware";
// A status text of one device of a batch: "<text> (2 of 5)"; the text alone
// for a batch of one.
std::string BatchStatusText(const std::string& text, int position, int count);

// Where a retrieve for several devices stores each one: `folder`, then the
// Ethernet address with dashes and ".txt" (00-50-C2-10-00-01.txt).
std::string StoreFileInFolder(const std::string& folder, const uint8_t* mac6);
constexpr const char* STORE_FOLDER_TITLE = "Please select a folder to store the configuration files in";
// The folder of `path` ("" when it names none).
std::string FolderOf(const std::string& path);

// The one box of a connection test over several devices: one line per
// device, its Ethernet address and its outcome; `tested` false for a device
// the test did not reach (cancelled).
struct ConnectionTestLine {
  std::string macText;
  bool tested = false;
  bool ok = false;
};
std::string ConnectionTestSummary(const std::vector<ConnectionTestLine>& lines);
bool AllConnectionsOk(const std::vector<ConnectionTestLine>& lines);

// The mask the network dialog starts with: the device's own when a device
// can take it, else the mask of the adapter it answered through, else
// 255.255.255.0. `adapterMask` 0 when not known.
constexpr uint32_t FALLBACK_NETWORK_MASK = 0x00FFFFFFu;  // 255.255.255.0 in network byte order
uint32_t StartingNetworkMask(const DeviceRecord& device, uint32_t adapterMask);
// The mask of the host's interface called `link`; 0 when unknown.
uint32_t AdapterMask(const std::string& link);
// What the network dialog starts with: the addresses typed for this device
// last time when the device refused them (`typedBefore`, or null), else the
// device's address and its starting mask. The password always starts empty.
NetworkDialogData StartingNetworkEntry(const DeviceRecord& device, const NetworkDialogData* typedBefore,
                                       uint32_t adapterMask);

// The devices of one command run over several selected rows, in list order,
// as far as the window follows them: which is running (for the status
// text) and which have not reported yet.
class DeviceBatch {
 public:
  void Start(int32_t kind, std::vector<CQuillbox*> devices);
  void Clear();
  bool Several() const { return devices_.size() > 1; }
  int32_t Kind() const { return kind_; }
  // The runs of the batch: one per device, and one more per device run
  // again.
  int Count() const { return static_cast<int>(runs_.size()); }
  // The place of q's latest run (1 for the first device); 0 when q is not
  // in the batch.
  int PositionOf(const CQuillbox* q) const;
  // q's report was handled: it has finished, whatever the outcome.
  void Finished(const CQuillbox* q);
  // q is to run again (after a new password): not finished any more, and
  // one run more at the end of the batch.
  void Again(const CQuillbox* q);
  // The devices that have not reported, in list order.
  std::vector<CQuillbox*> Unfinished() const;
  // Devices other than q that have not reported.
  bool OthersUnfinished(const CQuillbox* q) const;

 private:
  int32_t kind_ = -1;
  std::vector<std::pair<CQuillbox*, bool>> devices_;  // device, finished
  std::vector<CQuillbox*> runs_;                      // in the order they run
};
