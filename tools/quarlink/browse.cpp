// browse: the nodes below a start node, as an indented tree or one JSON object each.
#include <unistd.h>
#include <velk/quarlink/client.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "errors.h"
#include "output.h"
#include "values.h"

namespace quarlink {
namespace {

using tessel::fnd::defs::NodeDescriptor;
using tessel::fnd::defs::ResultCode;

constexpr const char* kObjectsFolder = "ns=0;i=85";  // the library's default start node

// On a terminal, a browse that takes longer than a second says that it is still at
// work. Browse is one blocking call without progress reports, so the line can only
// show the time spent, not the nodes found so far.
class ProgressLine {
 public:
  explicit ProgressLine(std::string root) : root_(std::move(root)) {
    if (isatty(STDERR_FILENO)) thread_ = std::thread([this] { Show(); });
  }
  ~ProgressLine() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

 private:
  void Show() {
    const auto start = std::chrono::steady_clock::now();
    bool shown = false;
    std::unique_lock<std::mutex> lock(mutex_);
    for (int seconds = 1; !changed_.wait_until(lock, start + std::chrono::seconds(seconds), [this] { return done_; });
         ++seconds) {
      std::fprintf(stderr, "\rbrowsing below %s ... %d s", root_.c_str(), seconds);
      std::fflush(stderr);
      shown = true;
    }
    if (shown) std::fputs("\r\033[K", stderr);  // leaves the terminal line as it was
  }

  const std::string root_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
  std::thread thread_;  // last: started once the members above exist
};

std::string Property(const NodeDescriptor& node, const char* key) {
  const std::string* value = node.properties.Get(key);
  return value ? *value : "";
}

Json NodeJson(const NodeDescriptor& node) {
  Json line = {{"address", node.address},
               {"display_name", node.display_name},
               {"parent", node.parent ? Json(*node.parent) : Json()},
               {"node_class", Property(node, "type")},
               {"browse_name", Property(node, "browse_name")},
               {"expandable", node.expandable}};
  if (node.value) {
    const std::string type = DataValueTypeName(*node.value);
    line["value"] = DataValueToJson(*node.value);
    line["type"] = type.empty() ? Json() : Json(type);
  }
  return line;
}

// `label` is the display name, or with --paths the browse path from the start node.
std::string NodeText(const NodeDescriptor& node, const std::string& label) {
  std::string text = label + "  [" + Property(node, "type") + "]  " + node.address;
  if (node.value) {
    const std::string type = DataValueTypeName(*node.value);
    text += " = " + DataValueToText(*node.value) + (type.empty() ? "" : " (" + type + ")");
  }
  return text;
}

// The flat, breadth-first result as a tree. A node reachable along two paths shows
// under both parents; a node that is its own ancestor is shown but not descended into.
class TreePrinter {
 public:
  TreePrinter(const std::vector<NodeDescriptor>& nodes, bool json, bool paths)
      : nodes_(nodes), json_(json), paths_(paths) {
    std::map<std::string, std::set<std::string>> seen;
    for (size_t i = 0; i < nodes.size(); ++i) {
      const std::string parent = nodes[i].parent.value_or("");
      // A parent listed twice had its children browsed twice; show them once.
      if (seen[parent].insert(nodes[i].address).second) children_[parent].push_back(i);
    }
  }

  void Print(const std::string& root) {
    std::vector<std::string> path{root};
    std::vector<std::string> names;
    PrintChildren(path, names);
  }

 private:
  void PrintChildren(std::vector<std::string>& path, std::vector<std::string>& names) {
    const auto found = children_.find(path.back());
    if (found == children_.end()) return;
    const std::string indent((path.size() - 1) * 2, ' ');
    for (size_t index : found->second) {
      const NodeDescriptor& node = nodes_[index];
      names.push_back(Property(node, "browse_name"));
      PrintNode(node, indent, names);
      if (std::find(path.begin(), path.end(), node.address) == path.end()) {
        path.push_back(node.address);
        PrintChildren(path, names);
        path.pop_back();
      }
      names.pop_back();
    }
  }

  void PrintNode(const NodeDescriptor& node, const std::string& indent, const std::vector<std::string>& names) const {
    std::string browsePath;
    for (const std::string& name : names) browsePath += "/" + name;
    if (json_) {
      Json line = NodeJson(node);
      if (paths_) line["path"] = browsePath;
      PrintLine(stdout, DumpJson(line));
    } else {
      PrintLine(stdout, paths_ ? NodeText(node, browsePath) : indent + NodeText(node, node.display_name));
    }
  }

  const std::vector<NodeDescriptor>& nodes_;
  const bool json_;
  const bool paths_;
  std::map<std::string, std::vector<size_t>> children_;
};

}  // namespace

int RunBrowse(Context& context, const BrowseOptions& options) {
  context.interrupts.ExitOnInterrupt(false);  // cancelled between requests; the nodes found so far are printed
  tessel::fnd::defs::BrowseRequest request;
  request.root = options.root;
  request.recursive = options.recursive || options.depth > 0;
  request.max_depth = options.depth;
  request.include_values = options.values;
  request.options = context.session.Request();
  const std::string root = options.root.value_or(kObjectsFolder);
  tessel::fnd::defs::BrowseResult result;
  {
    std::optional<ProgressLine> progress;
    if (request.recursive) progress.emplace(root);
    result = context.session.Client().Browse(request);
  }
  if (context.json && !options.paths) {
    for (const NodeDescriptor& node : result.nodes) PrintLine(stdout, DumpJson(NodeJson(node)));
  } else {
    TreePrinter(result.nodes, context.json, options.paths).Print(root);
  }
  if (result.code != ResultCode::Ok) return RequestFailed(context, "browse of " + root, result.code, result.message);
  return kExitOk;
}

}  // namespace quarlink
