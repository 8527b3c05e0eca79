"""Writes Outlook for Mac archive samples in the layout Outlook exports
them: a zip of accounts' and local folders, each message an XML file
(message_NNNNN.xml) with its attachments stored beside it, and XML files of
contacts, calendar events, tasks and notes.
Run: python3 tests/data/package/olm/make_samples.py"""
import pathlib
import zipfile

HERE = pathlib.Path(__file__).resolve().parent
INBOX = 'Accounts/alice@example.org/com.microsoft.__Messages/Inbox/'
PROJECTS = INBOX + 'Projects/'
SENT = 'Local/com.microsoft.__Messages/Sent Items/'


def address(tag, people):
    inner = ''.join(f'<emailAddress OPFContactEmailAddressAddress="{a}" OPFContactEmailAddressName="{n}" '
                    'OPFContactEmailAddressType="0"/>' for n, a in people)
    return f'<{tag}>{inner}</{tag}>'


def message(subject, sent, sender, to, cc=(), plain=None, html=None, attachments=()):
    parts = [f'<OPFMessageCopySubject xml:space="preserve">{subject}</OPFMessageCopySubject>']
    if sent:
        parts.append(f'<OPFMessageCopySentTime>{sent}</OPFMessageCopySentTime>')
    parts.append(address('OPFMessageCopyFromAddresses', [sender]))
    parts.append(address('OPFMessageCopyToAddresses', to))
    if cc:
        parts.append(address('OPFMessageCopyCCAddresses', cc))
    if plain is not None:
        parts.append(f'<OPFMessageCopyBody xml:space="preserve">{plain}</OPFMessageCopyBody>')
    if html is not None:
        parts.append(f'<OPFMessageCopyHTMLBody xml:space="preserve">{html}</OPFMessageCopyHTMLBody>')
        parts.append('<OPFMessageGetHasHTML>1E0</OPFMessageGetHasHTML>')
    if attachments:
        parts.append('<OPFMessageCopyAttachmentList>' + ''.join(
            f'<messageAttachment OPFAttachmentName="{n}" OPFAttachmentURL="{u}" '
            'OPFAttachmentContentType="text/plain"/>' for n, u in attachments) + '</OPFMessageCopyAttachmentList>')
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<emails elementCount="1"><email>' + ''.join(parts) +
            '</email></emails>\n')


ALICE = ('Alice Martin', 'alice@example.org')
BOB = ('Bob Jones', 'bob@example.org')
CAROL = ('Carol', 'carol@example.org')

entries = [
    (INBOX + 'message_00001.xml', message(
        'Budget for 2023', '2022-05-26T17:55:40', BOB, [ALICE, CAROL], cc=[('', 'dave@example.org')],
        plain='The budget is attached.\nPlease read it before Friday &amp; reply.',
        attachments=[('budget.txt', INBOX + 'com.microsoft.__Attachments/budget.txt'),
                     ('lost.pdf', INBOX + 'com.microsoft.__Attachments/lost.pdf')])),
    (INBOX + 'com.microsoft.__Attachments/budget.txt', 'Budget lines: travel 1200, books 300.\n'),
    # HTML only, with a literal "&lt;" that must stay as it is.
    (INBOX + 'message_00002.xml', message(
        'Caf\u00e9 opening', '2022-06-01T08:00:00Z', CAROL, [ALICE],
        html='&lt;html&gt;&lt;body&gt;&lt;p&gt;The caf\u00e9 opens at &amp;lt;noon&amp;gt;.&lt;/p&gt;'
             '&lt;script&gt;var hidden = 1;&lt;/script&gt;&lt;/body&gt;&lt;/html&gt;')),
    (PROJECTS + 'message_00003.xml', message(
        'Project plan', 'not a date', ALICE, [BOB], plain='Milestones: design, build, ship.')),
    (SENT + 'message_00004.xml', message('Thanks', '2022-06-02T10:15:00+02:00', ALICE, [BOB], plain='Thank you, Bob.')),
    ('Accounts/alice@example.org/Contacts.xml',
     '<?xml version="1.0" encoding="UTF-8"?>\n<contacts><contact>'
     '<OPFContactCopyDisplayName>Erin Smith</OPFContactCopyDisplayName>'
     '<OPFContactCopyBusinessCompany>Example Ltd</OPFContactCopyBusinessCompany>'
     '<OPFContactCopyEmailAddressList><contactEmailAddress OPFContactEmailAddressAddress="erin@example.org"/>'
     '</OPFContactCopyEmailAddressList><OPFContactCopyCellPhone>+1 555 0100</OPFContactCopyCellPhone>'
     '<OPFContactCopyHomeCity>Springfield</OPFContactCopyHomeCity>'
     '<OPFContactCopyNotes>Met at the fair.</OPFContactCopyNotes></contact></contacts>\n'),
    ('Accounts/alice@example.org/Calendar.xml',
     '<?xml version="1.0" encoding="UTF-8"?>\n<appointments><appointment>'
     '<OPFCalendarEventCopySummary>Quarterly review</OPFCalendarEventCopySummary>'
     '<OPFCalendarEventCopyLocation>Room 4</OPFCalendarEventCopyLocation>'
     '<OPFCalendarEventCopyStartTime>2022-07-01T09:00:00</OPFCalendarEventCopyStartTime>'
     '<OPFCalendarEventCopyEndTime>2022-07-01T10:30:00</OPFCalendarEventCopyEndTime>'
     '<OPFCalendarEventCopyDescriptionPlain>Bring the figures.</OPFCalendarEventCopyDescriptionPlain>'
     '</appointment></appointments>\n'),
    ('Accounts/alice@example.org/Tasks.xml',
     '<?xml version="1.0" encoding="UTF-8"?>\n<tasks><task><OPFTaskCopyName>File the report</OPFTaskCopyName>'
     '<OPFTaskCopyDueDateTime>2022-07-05T00:00:00</OPFTaskCopyDueDateTime>'
     '<OPFTaskCopyNotePlain>Due before the review.</OPFTaskCopyNotePlain></task></tasks>\n'),
    ('Accounts/alice@example.org/Notes.xml',
     '<?xml version="1.0" encoding="UTF-8"?>\n<notes><note><OPFNoteCopyTitle>Ideas</OPFNoteCopyTitle>'
     '<OPFNoteCopyText>&lt;p&gt;A garden on the roof.&lt;/p&gt;</OPFNoteCopyText></note></notes>\n'),
    ('Categories.xml', '<?xml version="1.0" encoding="UTF-8"?>\n<categories><category>Red</category></categories>\n'),
]

with zipfile.ZipFile(HERE / 'archive.olm', 'w', zipfile.ZIP_DEFLATED) as z:
    for name, text in entries:
        info = zipfile.ZipInfo(name, date_time=(2022, 7, 1, 0, 0, 0))
        info.compress_type = zipfile.ZIP_DEFLATED
        z.writestr(info, text.encode('utf-8'))
# A damaged message among good ones.
with zipfile.ZipFile(HERE / 'damaged.olm', 'w', zipfile.ZIP_DEFLATED) as z:
    for name, text in entries[:2] + [(INBOX + 'message_00009.xml', '<emails><email><OPFMessageCopySubject>cut')]:
        info = zipfile.ZipInfo(name, date_time=(2022, 7, 1, 0, 0, 0))
        z.writestr(info, text.encode('utf-8'))
