// Dumps a PST store as JSON using the npm reader pst-extractor:
//   node read_with_pst_extractor.js <store.pst>
// Folders are walked through their hierarchy and contents tables, as that reader does.
'use strict';
const crypto = require('crypto');
const { PSTFile } = require('pst-extractor');
const { PSTRecipient } = require('pst-extractor/dist/PSTRecipient.class.js');

function sha256OfAttachment(att) {
  const hash = crypto.createHash('sha256');
  const stream = att.fileInputStream;
  if (!stream) return null;
  const buf = Buffer.alloc(1 << 20);
  let n;
  while ((n = stream.read(buf)) > 0) hash.update(buf.subarray(0, n));
  return hash.digest('hex');
}

function message(m) {
  const out = {
    subject: m.subject, sender_name: m.senderName, sender_email: m.senderEmailAddress,
    body: m.body, html: m.bodyHTML, read: m.isRead, unsent: m.isUnsent,
    has_attachments: m.hasAttachments,
    submit_time: m.clientSubmitTime ? m.clientSubmitTime.getTime() : null,
    delivery_time: m.messageDeliveryTime ? m.messageDeliveryTime.getTime() : null,
    recipients: [], attachments: [],
  };
  // getRecipient(i) re-reads the whole recipient table on every call; read it once.
  const count = m.numberOfRecipients;
  const rows = count > 0 && m.recipientTable ? m.recipientTable.getItems() : [];
  for (let i = 0; i < count; i++) {
    const r = new PSTRecipient(m.pstFile, rows[i]);
    out.recipients.push({ name: r.displayName, email: r.emailAddress, type: r.recipientType });
  }
  for (let i = 0; i < m.numberOfAttachments; i++) {
    const a = m.getAttachment(i);
    const e = { long_name: a.longFilename, name: a.filename, method: a.attachMethod };
    if (a.attachMethod === 1) {
      e.size = a.filesize;
      e.sha256 = sha256OfAttachment(a);
    }
    out.attachments.push(e);
  }
  return out;
}

function walk(folder, path, result) {
  for (const sub of folder.hasSubfolders ? folder.getSubFolders() : []) {
    const p = path.concat([sub.displayName]);
    result.folders.push({ path: p, count: sub.contentCount, has_subfolders: sub.hasSubfolders });
    let m = sub.contentCount > 0 ? sub.getNextChild() : null;
    while (m) {
      result.messages.push({ folder: p, message: message(m) });
      m = sub.getNextChild();
    }
    walk(sub, p, result);
  }
}

const pst = new PSTFile(process.argv[2]);
const result = { display_name: pst.getMessageStore().displayName, folders: [], messages: [], top: [] };
const root = pst.getRootFolder();
for (const f of root.getSubFolders()) {
  result.top.push(f.displayName);
  // Walk only the mail folders, below the IPM subtree.
  if (f.displayName === 'Top of Personal Folders') walk(f, [], result);
}
process.stdout.write(JSON.stringify(result));
