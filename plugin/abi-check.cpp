/* The engine resolves the nine exports with dlsym() and calls them through
 * its own function-pointer types, so nothing at link time compares the two.
 * A prototype that drifts from those types (another parameter, a changed
 * return type, a noexcept) would load fine and then corrupt the call at run
 * time; pin every export to the engine's type here so the build fails
 * instead, on the build machine and on the device alike. The definitions in
 * telvo_plugin.cpp are extern "C" and include the same header, so they
 * cannot differ from these prototypes without a compile error there. */
#include <type_traits>

#include "action-plugin.h"

namespace {

template <typename Export, typename EngineType>
constexpr bool kMatches = std::is_same_v<Export, EngineType>;

}  // namespace

static_assert(kMatches<decltype(&plugin_create), ActionPluginCreateFunc>,
              "plugin_create differs from the engine's ActionPluginCreateFunc");
static_assert(kMatches<decltype(&plugin_validate), ActionPluginFunc>,
              "plugin_validate differs from the engine's ActionPluginFunc");
static_assert(kMatches<decltype(&plugin_initialize), ActionPluginFunc>,
              "plugin_initialize differs from the engine's ActionPluginFunc");
static_assert(kMatches<decltype(&plugin_start), ActionPluginFunc>,
              "plugin_start differs from the engine's ActionPluginFunc");
static_assert(kMatches<decltype(&plugin_stop), ActionPluginFunc>,
              "plugin_stop differs from the engine's ActionPluginFunc");
static_assert(kMatches<decltype(&plugin_abort), ActionPluginFunc>,
              "plugin_abort differs from the engine's ActionPluginFunc");
static_assert(kMatches<decltype(&plugin_check_running), ActionPluginCheckFunc>,
              "plugin_check_running differs from the engine's ActionPluginCheckFunc");
static_assert(kMatches<decltype(&plugin_destroy), ActionPluginFunc>,
              "plugin_destroy differs from the engine's ActionPluginFunc");
static_assert(kMatches<decltype(&plugin_free), ActionPluginFunc>,
              "plugin_free differs from the engine's ActionPluginFunc");

/* The feedback status travels as a gint32 and gboolean results as int: the
 * engine on the device reads exactly those widths. */
static_assert(sizeof(gint32) == 4 && sizeof(gboolean) == 4, "gint32/gboolean must be 4 bytes");
static_assert(sizeof(ActionStatus) == sizeof(gint32), "ActionStatus must fit the gint32 feedback status");
