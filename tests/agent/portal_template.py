'''The desktop portal's global shortcuts as far as the listening key uses them, for
tst_portalshortcut through python3-dbusmock:
  python3 -m dbusmock --template portal_template.py -p '{"bind_response": 1}'
Parameters: "global_shortcuts" (false: the portal offers another interface only), "answer"
(false: no request is ever answered), "bind_response" (0 bound, 1 cancelled, 2 ended otherwise).
On org.freedesktop.DBus.Mock: Press(id, down) emits Activated or Deactivated in the session,
LastBind() gives the properties the client asked for its "listen" shortcut, CloseSession() ends the
session as a desktop does when the shortcut is revoked.
'''
import dbus
import dbus.lowlevel
from dbusmock import MOCK_IFACE
from gi.repository import GLib

BUS_NAME = 'org.freedesktop.portal.Desktop'
MAIN_OBJ = '/org/freedesktop/portal/desktop'
MAIN_IFACE = 'org.freedesktop.portal.GlobalShortcuts'
SYSTEM_BUS = False


def load(mock, parameters):
    mock.portal_answer = parameters.get('answer', True)
    mock.portal_bind_response = parameters.get('bind_response', 0)
    mock.portal_session = ''
    mock.portal_bound = {}
    if parameters.get('global_shortcuts', True):
        mock.AddProperties(MAIN_IFACE, {'version': dbus.UInt32(1)})
    else:
        del mock.props[MAIN_IFACE]
        mock.AddProperties('org.freedesktop.portal.Settings', {'version': dbus.UInt32(2)})


def _handle(kind, sender, token):
    return f'{MAIN_OBJ}/{kind}/{sender[1:].replace(".", "_")}/{token}'


def _respond(mock, path, response, results):
    if mock.portal_answer:
        msg = dbus.lowlevel.SignalMessage(path, 'org.freedesktop.portal.Request', 'Response')
        msg.append(dbus.UInt32(response), dbus.Dictionary(results, signature='sv'), signature='ua{sv}')
        mock.connection.send_message(msg)
    return False


@dbus.service.method(MAIN_IFACE, in_signature='a{sv}', out_signature='o', sender_keyword='sender')
def CreateSession(self, options, sender):
    request = _handle('request', sender, options['handle_token'])
    self.portal_session = _handle('session', sender, options['session_handle_token'])
    # Answered before the call returns, as a portal may: the client must already listen.
    _respond(self, request, 0, {'session_handle': dbus.String(self.portal_session)})
    return request


@dbus.service.method(MAIN_IFACE, in_signature='oa(sa{sv})sa{sv}', out_signature='o', sender_keyword='sender')
def BindShortcuts(self, session, shortcuts, _parent_window, options, sender):
    if session != self.portal_session:
        raise dbus.exceptions.DBusException('unknown session ' + session,
                                            name='org.freedesktop.DBus.Error.InvalidArgs')
    request = _handle('request', sender, options['handle_token'])
    self.portal_bound = {str(sid): props for sid, props in shortcuts}
    results = {}
    if self.portal_bind_response == 0:
        results['shortcuts'] = dbus.Array(
            [dbus.Struct((sid, {'description': props['description'],
                                'trigger_description': props.get('preferred_trigger', '')}),
                         signature='sa{sv}') for sid, props in shortcuts],
            signature='(sa{sv})')
    # Answered after the call returned, as the user's dialog would.
    GLib.idle_add(_respond, self, request, self.portal_bind_response, results)
    return request


@dbus.service.method(MOCK_IFACE, in_signature='sb', out_signature='')
def Press(self, shortcut_id, down):
    self.EmitSignal(MAIN_IFACE, 'Activated' if down else 'Deactivated', 'osta{sv}',
                    [dbus.ObjectPath(self.portal_session), shortcut_id, dbus.UInt64(0), {}])


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='a{sv}')
def LastBind(self):
    return dbus.Dictionary(self.portal_bound.get('listen', {}), signature='sv')


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='')
def CloseSession(self):
    msg = dbus.lowlevel.SignalMessage(self.portal_session, 'org.freedesktop.portal.Session', 'Closed')
    msg.append(dbus.Dictionary({}, signature='sv'), signature='a{sv}')
    self.connection.send_message(msg)
