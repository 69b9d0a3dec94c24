'''GNOME Online Accounts as far as a mail program asks it: mail accounts with the Account and
Mail interfaces, OAuth2Based (a token that changes at every call) or PasswordBased.

Used by the online account tests through python3-dbusmock:
  python3 -m dbusmock --template goa_template.py
and the extra methods below on org.freedesktop.DBus.Mock.
'''
import dbus
from dbusmock import MOCK_IFACE, mockobject

BUS_NAME = 'org.gnome.OnlineAccounts'
MAIN_OBJ = '/org/gnome/OnlineAccounts'
MAIN_IFACE = 'org.gnome.OnlineAccounts.Manager'
SYSTEM_BUS = False
IS_OBJECT_MANAGER = True

ACCOUNT = 'org.gnome.OnlineAccounts.Account'
MAIL = 'org.gnome.OnlineAccounts.Mail'
OAUTH2 = 'org.gnome.OnlineAccounts.OAuth2Based'
PASSWORD = 'org.gnome.OnlineAccounts.PasswordBased'


def load(mock, parameters):
    pass


def _path(account_id):
    return MAIN_OBJ + '/Accounts/' + account_id


@dbus.service.method(MOCK_IFACE, in_signature='sssssbbass', out_signature='o')
def AddMailAccount(self, account_id, provider, email, imap_host, user, use_ssl, use_tls, tokens, password):
    '''An account whose GetAccessToken gives `tokens` in turn (the last one again once they are
    used up), or, with no tokens, whose GetPassword gives `password`.'''
    path = _path(account_id)
    self.AddObject(path, ACCOUNT, {
        'Id': dbus.String(account_id),
        'ProviderType': dbus.String(provider.lower()),
        'ProviderName': dbus.String(provider),
        'PresentationIdentity': dbus.String(email),
        'MailDisabled': dbus.Boolean(False),
        'AttentionNeeded': dbus.Boolean(False),
    }, [])
    obj = mockobject.objects[path]
    obj.AddProperties(MAIL, {
        'EmailAddress': dbus.String(email),
        'ImapSupported': dbus.Boolean(True),
        'ImapHost': dbus.String(imap_host),
        'ImapUserName': dbus.String(user),
        'ImapUseSsl': dbus.Boolean(use_ssl),
        'ImapUseTls': dbus.Boolean(use_tls),
        'ImapAcceptSslErrors': dbus.Boolean(False),
    })
    if tokens:
        obj.goa_tokens = list(tokens)
        obj.goa_calls = 0
        obj.goa_refused = False
        obj.AddMethod(OAUTH2, 'GetAccessToken', '', 'si',
                      'if self.goa_refused:\n'
                      '    raise dbus.exceptions.DBusException("Credentials expired",'
                      ' name="org.gnome.OnlineAccounts.Error.NotAuthorized")\n'
                      'ret = (self.goa_tokens[min(self.goa_calls, len(self.goa_tokens) - 1)], 3600); '
                      'self.goa_calls += 1')
        obj.AddProperties(OAUTH2, {'ClientId': dbus.String('murmelo-test'), 'ClientSecret': dbus.String('')})
    else:
        obj.goa_password = password
        # An interface without properties is listed by the real service all the same.
        obj.props.setdefault(PASSWORD, dbus.Dictionary({}, signature='sv'))
        obj.AddMethod(PASSWORD, 'GetPassword', 's', 's',
                      'ret = self.goa_password if args[0] == "imap-password" else ""')
    self.object_manager_emit_added(path)
    return path


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def RemoveMailAccount(self, account_id):
    path = _path(account_id)
    self.object_manager_emit_removed(path)
    self.RemoveObject(path)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='i')
def TokenCalls(self, account_id):
    return mockobject.objects[_path(account_id)].goa_calls


@dbus.service.method(MOCK_IFACE, in_signature='sb', out_signature='')
def RefuseTokens(self, account_id, refused):
    '''GetAccessToken fails as the real service does once the credentials expired (or works again).'''
    mockobject.objects[_path(account_id)].goa_refused = refused
