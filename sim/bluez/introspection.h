/* D-Bus interfaces the simulator serves: BlueZ's (as its documentation
 * describes them) and its own test controls. */
#pragma once

namespace bzsim {

constexpr char kAdapterInterface[] = "org.bluez.Adapter1";
constexpr char kDeviceInterface[] = "org.bluez.Device1";
constexpr char kMonitorManagerInterface[] = "org.bluez.AdvertisementMonitorManager1";
constexpr char kMonitorInterface[] = "org.bluez.AdvertisementMonitor1";
constexpr char kAdvertisingManagerInterface[] = "org.bluez.LEAdvertisingManager1";
constexpr char kAdvertisementInterface[] = "org.bluez.LEAdvertisement1";
constexpr char kControlInterface[] = "com.vemo.Sim.BlueZ1";
constexpr char kControlPath[] = "/com/vemo/Sim/BlueZ";
constexpr char kControlName[] = "com.vemo.Sim.BlueZ";
constexpr char kBluezName[] = "org.bluez";

constexpr char kBluezXml[] =
    "<node>"
    "  <interface name='org.bluez.Adapter1'>"
    "    <method name='StartDiscovery'/>"
    "    <method name='StopDiscovery'/>"
    "    <method name='RemoveDevice'><arg name='device' type='o' direction='in'/></method>"
    "    <property name='Address' type='s' access='read'/>"
    "    <property name='AddressType' type='s' access='read'/>"
    "    <property name='Name' type='s' access='read'/>"
    "    <property name='Alias' type='s' access='readwrite'/>"
    "    <property name='Class' type='u' access='read'/>"
    "    <property name='Powered' type='b' access='readwrite'/>"
    "    <property name='Discoverable' type='b' access='readwrite'/>"
    "    <property name='DiscoverableTimeout' type='u' access='readwrite'/>"
    "    <property name='Pairable' type='b' access='readwrite'/>"
    "    <property name='PairableTimeout' type='u' access='readwrite'/>"
    "    <property name='Discovering' type='b' access='read'/>"
    "    <property name='UUIDs' type='as' access='read'/>"
    "    <property name='Modalias' type='s' access='read'/>"
    "    <property name='Roles' type='as' access='read'/>"
    "  </interface>"
    "  <interface name='org.bluez.AdvertisementMonitorManager1'>"
    "    <method name='RegisterMonitor'><arg name='application' type='o' direction='in'/></method>"
    "    <method name='UnregisterMonitor'><arg name='application' type='o' direction='in'/></method>"
    "    <property name='SupportedMonitorTypes' type='as' access='read'/>"
    "    <property name='SupportedFeatures' type='as' access='read'/>"
    "  </interface>"
    "  <interface name='org.bluez.LEAdvertisingManager1'>"
    "    <method name='RegisterAdvertisement'>"
    "      <arg name='advertisement' type='o' direction='in'/>"
    "      <arg name='options' type='a{sv}' direction='in'/>"
    "    </method>"
    "    <method name='UnregisterAdvertisement'>"
    "      <arg name='advertisement' type='o' direction='in'/>"
    "    </method>"
    "    <property name='ActiveInstances' type='y' access='read'/>"
    "    <property name='SupportedInstances' type='y' access='read'/>"
    "    <property name='SupportedIncludes' type='as' access='read'/>"
    "    <property name='SupportedSecondaryChannels' type='as' access='read'/>"
    "  </interface>"
    "  <interface name='org.bluez.Device1'>"
    "    <property name='Address' type='s' access='read'/>"
    "    <property name='AddressType' type='s' access='read'/>"
    "    <property name='Alias' type='s' access='read'/>"
    "    <property name='Paired' type='b' access='read'/>"
    "    <property name='Trusted' type='b' access='read'/>"
    "    <property name='Blocked' type='b' access='read'/>"
    "    <property name='Connected' type='b' access='read'/>"
    "    <property name='LegacyPairing' type='b' access='read'/>"
    "    <property name='ServicesResolved' type='b' access='read'/>"
    "    <property name='UUIDs' type='as' access='read'/>"
    "    <property name='Adapter' type='o' access='read'/>"
    "    <property name='RSSI' type='n' access='read'/>"
    "    <property name='ManufacturerData' type='a{qv}' access='read'/>"
    "  </interface>"
    "</node>";

constexpr char kControlXml[] =
    "<node>"
    "  <interface name='com.vemo.Sim.BlueZ1'>"
    "    <method name='AddAdapter'>"
    "      <arg name='name' type='s' direction='in'/>"
    "      <arg name='monitor_manager' type='b' direction='in'/>"
    "      <arg name='advertising_manager' type='b' direction='in'/>"
    "      <arg name='path' type='o' direction='out'/>"
    "    </method>"
    "    <method name='RemoveAdapter'><arg name='name' type='s' direction='in'/></method>"
    "    <method name='AddDevice'>"
    "      <arg name='adapter' type='s' direction='in'/>"
    "      <arg name='address' type='s' direction='in'/>"
    "      <arg name='path' type='o' direction='out'/>"
    "    </method>"
    "    <method name='InjectAdvertisement'>"
    "      <arg name='adapter' type='s' direction='in'/>"
    "      <arg name='address' type='s' direction='in'/>"
    "      <arg name='company_id' type='q' direction='in'/>"
    "      <arg name='data' type='ay' direction='in'/>"
    "      <arg name='rssi' type='n' direction='in'/>"
    "    </method>"
    "    <method name='ListMonitors'><arg name='monitors' type='a(sosb)' direction='out'/></method>"
    "    <method name='ListAdvertisements'><arg name='advertisements' type='a(sos)' direction='out'/></method>"
    "    <method name='SetControllerFiltering'><arg name='enabled' type='b' direction='in'/></method>"
    "    <method name='Leave'/>"
    "    <method name='Return'/>"
    "    <method name='FailNextRegisterMonitor'><arg name='count' type='u' direction='in'/></method>"
    "    <method name='ReleaseMonitors'><arg name='client' type='s' direction='in'/></method>"
    "    <method name='EmitMalformedObjectManagerSignal'><arg name='member' type='s' direction='in'/></method>"
    "    <signal name='DeviceFoundCalled'>"
    "      <arg name='client' type='s'/>"
    "      <arg name='monitor' type='o'/>"
    "      <arg name='device' type='o'/>"
    "    </signal>"
    "  </interface>"
    "</node>";

}  // namespace bzsim
