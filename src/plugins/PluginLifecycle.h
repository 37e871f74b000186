// The orders of the open, close and unload steps, shared by the core's steps
// and the inspector tool, so that what the tool shows is what the core does.
#pragma once

#include <memory>
#include <vector>

namespace km::core {

class Plugin;
using PluginPtr = std::shared_ptr<Plugin>;

// Id 8: the close step takes the plug-in out of the list; the log plug-in
// with this id stays open until the core is destroyed, any other plug-in
// that nothing else holds is closed and unloaded on the spot.
bool isWithheld(const Plugin& plugin);

// The list without its withheld plug-ins, in list order.
std::vector<PluginPtr> withoutWithheld(const std::vector<PluginPtr>& plugins);

// The close order: larger closeRank first, then file name without regard to
// case. Plug-ins neither of which closes before the other have no defined order.
bool closesBefore(const Plugin& a, const Plugin& b);

// Close (and unload) order: larger closeRank first, then file name without
// regard to case. Not stable: plug-ins equal in both keys have no defined order.
void sortForClosing(std::vector<PluginPtr>& plugins);

}  // namespace km::core
