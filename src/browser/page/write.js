// Called with (edits, observedUrl). A text goes through the element's own native value setter and
// then announces itself with bubbling input and change events, as typing would: script-driven pages
// keep their state. A tick that must change is clicked (the page sees click, input and change);
// should a page cancel the click, the tick is set directly.
  if (observedUrl) {
    let same = false;
    try { same = new URL(observedUrl).origin === new URL(urlOf.call(document)).origin; } catch (e) {}
    if (!same) return {moved: true};
  }
  const forms = formsOf.call(document);
  if (forms.length === 0) return {hadForms: false, applied: 0};
  const valueSetter = (el) => {
    for (let p = Object.getPrototypeOf(el); p; p = Object.getPrototypeOf(p)) {
      const d = Object.getOwnPropertyDescriptor(p, 'value');
      if (d) return d.set;
    }
    return undefined;
  };
  const fire = (el, type) => el.dispatchEvent(new Event(type, {bubbles: true}));
  let applied = 0;
  const fail = (error, reason) => ({hadForms: true, applied, error, reason});
  for (const [formIndex, elementIndex, isBox, tick, value, expectedName] of edits) {
    if (!(formIndex >= 0 && formIndex < forms.length))
      return fail(91, 'form ' + formIndex + ' is past the end of ' + forms.length + ' forms');
    const elements = elementsOf.call(forms[formIndex]);
    if (!(elementIndex >= 0 && elementIndex < elements.length))
      return fail(91, 'element ' + elementIndex + ' is past the end of ' + elements.length +
                      ' elements of form ' + formIndex);
    const el = elements[elementIndex];
    try {
      if (expectedName !== null && el.name !== expectedName) { applied++; continue; }
      if (isBox) {
        if (typeof el.checked !== 'boolean') return fail(438, el.tagName + ' has no tick');
        if (el.checked !== tick) {
          el.click();
          if (el.checked !== tick) { el.checked = tick; fire(el, 'input'); fire(el, 'change'); }
        }
      } else {
        const set = valueSetter(el);
        if (!set) return fail(438, el.tagName + ' has no value');
        set.call(el, value);
        fire(el, 'input');
        fire(el, 'change');
      }
    } catch (e) {
      return fail(438, String(e));
    }
    applied++;
  }
  return {hadForms: true, applied};
